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

  // Each entry by its own name; one that does not resolve stays empty.
#define HID_BIND_ENTRY(name, type, ordinal) entries.name = reinterpret_cast<type>(platform.entry(library, #name));
  HID_EXPORT_LIST(HID_BIND_ENTRY)
#undef HID_BIND_ENTRY

  const bool callable = entries.USBsetEventHandler && entries.HIDsetEventHandler && entries.HIDscanForDevices &&
                        entries.HIDGetDeviceInfo && entries.HIDopenDevice && entries.HIDcloseDevice &&
                        entries.HIDSetOutputReport;
  r.outcome = callable ? TLoadOutcome::bound : TLoadOutcome::missing_entry;
  return r;
}
