// Binding HID_Lib.dll: writing it from the program's own resource when the
// current folder has none, loading it by full path and resolving its 18 exports.
// The platform (files, the resource, loading) comes in through TLinkPlatform;
// link/win/ has the Windows one.
#pragma once

#include "HIDinterface.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

inline constexpr char hid_library_file[] = "HID_Lib.dll";

// How the link finds, writes and loads HID_Lib.dll, and reads the text of the
// library's records. Strings are UTF-8 (also the error texts the link hands to
// LinkHost::report_error). One implementation per platform: link/win/ has the
// Windows one; tests use TLinkPlatformFunctions (link_testing.h).
class TLinkPlatform {
 public:
  virtual ~TLinkPlatform() = default;
  virtual bool has_file(const std::string& name) const = 0;                 // in the current folder
  virtual bool read_resource(std::vector<uint8_t>& bytes) const = 0;        // RCDATA "HID" of the program
  // Creates the file; on failure throws std::runtime_error carrying the system's error text.
  virtual void create_file(const std::string& name, const std::vector<uint8_t>& bytes) const = 0;
  virtual std::string path_of(const std::string& name) const = 0;           // name in the current folder
  virtual void* load(const std::string& path) const = 0;                    // nullptr when it does not load
  virtual void* entry(void* library, const char* name) const = 0;           // nullptr when missing
  // A string of the library's device record (ANSI code page) in UTF-8.
  virtual std::string record_text(const THIDString& field) const = 0;
};

// The 18 library entries, one per export of HID_EXPORT_LIST, each with the
// export's name and pointer type.
struct THIDEntries {
#define HID_ENTRY(name, type, ordinal) type name = nullptr;
  HID_EXPORT_LIST(HID_ENTRY)
#undef HID_ENTRY
};

enum class TLoadOutcome {
  bound,          // loaded by full path; the seven entries the link calls are present
  no_file,        // no file, and none could be written
  not_loadable,   // the file does not load
  missing_entry,  // one of the seven entries the link calls is absent
};
struct TLoadResult {
  TLoadOutcome outcome = TLoadOutcome::no_file;
  std::string path;         // the full path the library was loaded from
  std::string write_error;  // the system's text when writing the file failed
};
// Write the library file from the program's resource when no file of that name
// exists, load it by its full path in the current folder (never through the
// search order), resolve the 18 exports by name. Entries that do not resolve
// stay empty.
TLoadResult load_hid_library(const TLinkPlatform& platform, THIDEntries& entries);
