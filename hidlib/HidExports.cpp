// The 18 exports: each works on the process's library and keeps every
// exception on this side of the boundary (failure shows only as 0 or false).
#include "HidExports.h"

#include "HidLibrary.h"

#include <cstring>

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
  struct TExport {
    const char* name;
    void* address;
  };
#define HID_EXPORT_ADDRESS(export_name, type, ordinal) TExport{#export_name, reinterpret_cast<void*>(&export_name)},
  static const TExport exports[] = {HID_EXPORT_LIST(HID_EXPORT_ADDRESS)};
#undef HID_EXPORT_ADDRESS
  if (name == nullptr) return nullptr;
  for (const TExport& e : exports)
    if (std::strcmp(e.name, name) == 0) return e.address;
  return nullptr;
}

}  // namespace hidlib
