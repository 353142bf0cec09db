// The 18 exports: each works on the process's library and keeps every
// exception on this side of the boundary (failure shows only as 0 or false).
#include "HidExports.h"

#include "HidLibrary.h"

#include <cstring>
#include <iterator>

using hidlib::HidLibrary;
using hidlib::ReportType;

namespace {

template <typename Call>
uint8_t guarded(Call call) noexcept {
  HidLibrary* library = hidlib::process_library();
  if (library == nullptr) return 0;
  try {
    return static_cast<uint8_t>(call(*library));
  } catch (...) {
    return 0;
  }
}

}  // namespace

extern "C" {

uint8_t HIDAPI_CALL HIDscanForDevices() {
  return guarded([](HidLibrary& l) { return l.scan_for_devices(); });
}

void HIDAPI_CALL HIDGetDeviceInfo(uint8_t Index, THIDDeviceInfo* Info) {
  guarded([&](HidLibrary& l) { l.get_device_info(Index, Info); return 0; });
}

uint8_t HIDAPI_CALL HIDopenDevice(uint8_t Index) {
  return guarded([&](HidLibrary& l) { return l.open_device(Index) ? 1 : 0; });
}

uint8_t HIDAPI_CALL HIDcloseDevice() {
  return guarded([](HidLibrary& l) { return l.close_device() ? 1 : 0; });
}

uint8_t HIDAPI_CALL HIDwriteDevice(THIDReport Report) {
  return guarded([&](HidLibrary& l) { return l.write_device(Report); });
}

uint8_t HIDAPI_CALL HIDreadDevice(THIDReport* Report) {
  return guarded([&](HidLibrary& l) { return l.read_device(Report); });
}

uint8_t HIDAPI_CALL HIDOutputReportSize() {
  return guarded([](HidLibrary& l) { return l.report_size(ReportType::Output); });
}
uint8_t HIDAPI_CALL HIDInputReportSize() {
  return guarded([](HidLibrary& l) { return l.report_size(ReportType::Input); });
}
uint8_t HIDAPI_CALL HIDFeatureReportSize() {
  return guarded([](HidLibrary& l) { return l.report_size(ReportType::Feature); });
}

uint8_t HIDAPI_CALL HIDOutputReportCount(uint8_t ReportID) {
  return guarded([&](HidLibrary& l) { return l.report_count(ReportType::Output, ReportID); });
}
uint8_t HIDAPI_CALL HIDInputReportCount(uint8_t ReportID) {
  return guarded([&](HidLibrary& l) { return l.report_count(ReportType::Input, ReportID); });
}
uint8_t HIDAPI_CALL HIDFeatureReportCount(uint8_t ReportID) {
  return guarded([&](HidLibrary& l) { return l.report_count(ReportType::Feature, ReportID); });
}

uint8_t HIDAPI_CALL HIDSetOutputReport(void* Buffer) {
  return guarded([&](HidLibrary& l) { return l.set_output_report(Buffer); });
}
uint8_t HIDAPI_CALL HIDGetInputReport(void* Buffer) {
  return guarded([&](HidLibrary& l) { return l.get_input_report(Buffer); });
}
uint8_t HIDAPI_CALL HIDSetFeatureReport(void* Buffer) {
  return guarded([&](HidLibrary& l) { return l.set_feature_report(Buffer); });
}
uint8_t HIDAPI_CALL HIDGetFeatureReport(void* Buffer) {
  return guarded([&](HidLibrary& l) { return l.get_feature_report(Buffer); });
}

void HIDAPI_CALL HIDsetEventHandler(THIDReportHandler Handler) {
  guarded([&](HidLibrary& l) { l.set_report_handler(Handler); return 0; });
}

void HIDAPI_CALL USBsetEventHandler(TUSBEventHandler Handler) {
  guarded([&](HidLibrary& l) { l.set_usb_handler(Handler); return 0; });
}

}  // extern "C"

namespace hidlib {

void* resolve_export(const char* name) {
  // In the order of HID_EXPORT_NAMES.
  static void* const functions[] = {
      reinterpret_cast<void*>(&USBsetEventHandler),   reinterpret_cast<void*>(&HIDsetEventHandler),
      reinterpret_cast<void*>(&HIDscanForDevices),    reinterpret_cast<void*>(&HIDGetDeviceInfo),
      reinterpret_cast<void*>(&HIDopenDevice),        reinterpret_cast<void*>(&HIDcloseDevice),
      reinterpret_cast<void*>(&HIDwriteDevice),       reinterpret_cast<void*>(&HIDreadDevice),
      reinterpret_cast<void*>(&HIDOutputReportSize),  reinterpret_cast<void*>(&HIDInputReportSize),
      reinterpret_cast<void*>(&HIDFeatureReportSize), reinterpret_cast<void*>(&HIDOutputReportCount),
      reinterpret_cast<void*>(&HIDInputReportCount),  reinterpret_cast<void*>(&HIDFeatureReportCount),
      reinterpret_cast<void*>(&HIDSetOutputReport),   reinterpret_cast<void*>(&HIDGetInputReport),
      reinterpret_cast<void*>(&HIDSetFeatureReport),  reinterpret_cast<void*>(&HIDGetFeatureReport),
  };
  static_assert(std::size(functions) == std::size(HID_EXPORT_NAMES));
  if (name == nullptr) return nullptr;
  for (size_t i = 0; i < std::size(HID_EXPORT_NAMES); ++i)
    if (std::strcmp(HID_EXPORT_NAMES[i], name) == 0) return functions[i];
  return nullptr;
}

}  // namespace hidlib
