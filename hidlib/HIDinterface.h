// Interface of the HID access library HID_Lib.dll: the records that cross the
// library boundary, the two handler types and the 18 exports. The library and
// its hosts include this same header.
//
// Records are packed and little-endian. Every export and both handler types use
// the platform's standard calling convention for system-library exports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#define HIDAPI_CALL __stdcall
#else
#define HIDAPI_CALL
#endif

#pragma pack(push, 1)

// A length-prefixed 8-bit string: byte 0 is the length n, bytes 1..n the characters.
struct THIDString {
  uint8_t Length;
  char Text[255];
};

// Report buffer: report ID first, then up to 64 data bytes.
struct THIDReport {
  uint8_t ReportID;
  uint8_t Data[64];
};

struct THIDReportItem {
  uint16_t Usage;
  uint8_t ReportID;
  uint8_t BitSize;
  uint8_t ReportCount;
};

constexpr int HID_ITEMS_PER_TABLE = 10;

struct THIDDeviceInfo {
  THIDString DevicePath;
  uint16_t OutputReportByteLength;
  uint16_t InputReportByteLength;
  uint16_t FeatureReportByteLength;
  THIDReportItem OutputItems[HID_ITEMS_PER_TABLE];
  THIDReportItem InputItems[HID_ITEMS_PER_TABLE];
  THIDReportItem FeatureItems[HID_ITEMS_PER_TABLE];
  uint32_t DeviceHandle;  // -1 (all bits set) while the library does not hold it open
  uint16_t VendorID;
  uint16_t ProductID;
  uint16_t VersionNumber;
  THIDString Manufacturer;
  THIDString Product;
  THIDString SerialNumber;
  uint8_t ReadWrite;
};

#pragma pack(pop)

// The characters of a length-prefixed string.
inline std::string hid_text(const THIDString& field) { return std::string(field.Text, field.Length); }

static_assert(sizeof(THIDString) == 256);
static_assert(sizeof(THIDReport) == 65);
static_assert(sizeof(THIDReportItem) == 5);
static_assert(sizeof(THIDDeviceInfo) == 1191);
static_assert(offsetof(THIDDeviceInfo, OutputReportByteLength) == 256);
static_assert(offsetof(THIDDeviceInfo, InputReportByteLength) == 258);
static_assert(offsetof(THIDDeviceInfo, FeatureReportByteLength) == 260);
static_assert(offsetof(THIDDeviceInfo, OutputItems) == 262);
static_assert(offsetof(THIDDeviceInfo, InputItems) == 312);
static_assert(offsetof(THIDDeviceInfo, FeatureItems) == 362);
static_assert(offsetof(THIDDeviceInfo, DeviceHandle) == 412);
static_assert(offsetof(THIDDeviceInfo, VendorID) == 416);
static_assert(offsetof(THIDDeviceInfo, ProductID) == 418);
static_assert(offsetof(THIDDeviceInfo, VersionNumber) == 420);
static_assert(offsetof(THIDDeviceInfo, Manufacturer) == 422);
static_assert(offsetof(THIDDeviceInfo, Product) == 678);
static_assert(offsetof(THIDDeviceInfo, SerialNumber) == 934);
static_assert(offsetof(THIDDeviceInfo, ReadWrite) == 1190);

constexpr uint32_t HID_NO_HANDLE = 0xFFFFFFFFu;
constexpr int HID_MAX_DEVICES = 32;

// Called on the library's read thread for every input report: the 65 report
// bytes by value, then the item count of the report's ID.
typedef void(HIDAPI_CALL* THIDReportHandler)(THIDReport Report, uint8_t Count);
// Called on the thread that loaded the library for every device-change message.
typedef void(HIDAPI_CALL* TUSBEventHandler)();

// Pointer types of the 18 exports, for hosts that bind the library by name.
typedef uint8_t(HIDAPI_CALL* THIDscanForDevices)();
typedef void(HIDAPI_CALL* THIDGetDeviceInfo)(uint8_t Index, THIDDeviceInfo* Info);
typedef uint8_t(HIDAPI_CALL* THIDopenDevice)(uint8_t Index);
typedef uint8_t(HIDAPI_CALL* THIDcloseDevice)();
typedef uint8_t(HIDAPI_CALL* THIDwriteDevice)(THIDReport Report);
typedef uint8_t(HIDAPI_CALL* THIDreadDevice)(THIDReport* Report);
typedef uint8_t(HIDAPI_CALL* THIDReportSize)();
typedef uint8_t(HIDAPI_CALL* THIDReportCount)(uint8_t ReportID);
typedef uint8_t(HIDAPI_CALL* THIDReportTransfer)(void* Buffer);
typedef void(HIDAPI_CALL* THIDsetEventHandler)(THIDReportHandler Handler);
typedef void(HIDAPI_CALL* TUSBsetEventHandler)(TUSBEventHandler Handler);

// The 18 exports, listed once: name, pointer type, ordinal in the library's
// export directory; in the order a host resolves them. The library's
// declarations, its export table and its .def file (written by CMake from these
// lines), and a host's table of entries are all made from this list, as
// HID_EXPORT_LIST(ENTRY) with ENTRY(name, type, ordinal).
#define HID_EXPORT_LIST(X)                       \
  X(USBsetEventHandler, TUSBsetEventHandler, 18) \
  X(HIDsetEventHandler, THIDsetEventHandler, 17) \
  X(HIDscanForDevices, THIDscanForDevices, 16)   \
  X(HIDGetDeviceInfo, THIDGetDeviceInfo, 15)     \
  X(HIDopenDevice, THIDopenDevice, 14)           \
  X(HIDcloseDevice, THIDcloseDevice, 13)         \
  X(HIDwriteDevice, THIDwriteDevice, 12)         \
  X(HIDreadDevice, THIDreadDevice, 11)           \
  X(HIDOutputReportSize, THIDReportSize, 10)     \
  X(HIDInputReportSize, THIDReportSize, 9)       \
  X(HIDFeatureReportSize, THIDReportSize, 8)     \
  X(HIDOutputReportCount, THIDReportCount, 7)    \
  X(HIDInputReportCount, THIDReportCount, 6)     \
  X(HIDFeatureReportCount, THIDReportCount, 5)   \
  X(HIDSetOutputReport, THIDReportTransfer, 4)   \
  X(HIDGetInputReport, THIDReportTransfer, 3)    \
  X(HIDSetFeatureReport, THIDReportTransfer, 2)  \
  X(HIDGetFeatureReport, THIDReportTransfer, 1)

#define HID_EXPORT_NAME(name, type, ordinal) #name,
#define HID_EXPORT_ORDINAL(name, type, ordinal) ordinal,
// Export names and their ordinals, in the list's order.
inline constexpr const char* HID_EXPORT_NAMES[] = {HID_EXPORT_LIST(HID_EXPORT_NAME)};
inline constexpr unsigned HID_EXPORT_ORDINALS[] = {HID_EXPORT_LIST(HID_EXPORT_ORDINAL)};
#undef HID_EXPORT_NAME
#undef HID_EXPORT_ORDINAL
static_assert(sizeof(HID_EXPORT_NAMES) / sizeof(HID_EXPORT_NAMES[0]) == 18);
