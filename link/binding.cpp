#include "binding.h"

TLoadResult load_hid_library(const TLinkPlatform& platform, THIDEntries& entries) {
  TLoadResult r;
  entries = THIDEntries{};
  auto exists = [&] { return platform.has_file(hid_library_file); };
  if (!exists()) {
    std::vector<uint8_t> bytes;
    if (platform.read_resource(bytes)) {
      try {
        platform.create_file(hid_library_file, bytes);
      } catch (const std::exception& e) {
        r.write_error = e.what();
        if (r.write_error.empty())
          r.write_error = "HID_Lib.dll could not be written";
      }
    }
    if (!exists()) {
      r.outcome = TLoadOutcome::no_file;
      return r;
    }
  }

  // By full path: a bare name would go through the search order and could load a
  // different HID_Lib.dll than the one just checked or written.
  r.outcome = TLoadOutcome::not_loadable;
  r.path = platform.path_of(hid_library_file);
  if (r.path.empty())
    return r;
  void* library = platform.load(r.path);
  if (!library)
    return r;

  void* raw[18];
  for (int i = 0; i < 18; ++i)
    raw[i] = platform.entry(library, HID_EXPORT_NAMES[i]);
  entries.USBsetEventHandler = reinterpret_cast<TUSBsetEventHandler>(raw[0]);
  entries.HIDsetEventHandler = reinterpret_cast<THIDsetEventHandler>(raw[1]);
  entries.HIDscanForDevices = reinterpret_cast<THIDscanForDevices>(raw[2]);
  entries.HIDGetDeviceInfo = reinterpret_cast<THIDGetDeviceInfo>(raw[3]);
  entries.HIDopenDevice = reinterpret_cast<THIDopenDevice>(raw[4]);
  entries.HIDcloseDevice = reinterpret_cast<THIDcloseDevice>(raw[5]);
  entries.HIDwriteDevice = reinterpret_cast<THIDwriteDevice>(raw[6]);
  entries.HIDreadDevice = reinterpret_cast<THIDreadDevice>(raw[7]);
  entries.HIDOutputReportSize = reinterpret_cast<THIDReportSize>(raw[8]);
  entries.HIDInputReportSize = reinterpret_cast<THIDReportSize>(raw[9]);
  entries.HIDFeatureReportSize = reinterpret_cast<THIDReportSize>(raw[10]);
  entries.HIDOutputReportCount = reinterpret_cast<THIDReportCount>(raw[11]);
  entries.HIDInputReportCount = reinterpret_cast<THIDReportCount>(raw[12]);
  entries.HIDFeatureReportCount = reinterpret_cast<THIDReportCount>(raw[13]);
  entries.HIDSetOutputReport = reinterpret_cast<THIDReportTransfer>(raw[14]);
  entries.HIDGetInputReport = reinterpret_cast<THIDReportTransfer>(raw[15]);
  entries.HIDSetFeatureReport = reinterpret_cast<THIDReportTransfer>(raw[16]);
  entries.HIDGetFeatureReport = reinterpret_cast<THIDReportTransfer>(raw[17]);

  const bool callable = entries.USBsetEventHandler && entries.HIDsetEventHandler && entries.HIDscanForDevices &&
                        entries.HIDGetDeviceInfo && entries.HIDopenDevice && entries.HIDcloseDevice &&
                        entries.HIDSetOutputReport;
  r.outcome = callable ? TLoadOutcome::bound : TLoadOutcome::missing_entry;
  return r;
}
