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

// How the link finds, writes and loads HID_Lib.dll. Strings are UTF-8 (also the
// error texts the link hands to LinkHost::show_error).
struct TLinkPlatform {
  std::function<bool(const std::string& name)> file_exists;             // in the current folder
  std::function<bool(std::vector<uint8_t>& bytes)> read_own_resource;   // RCDATA "HID" of the program
  // Writes the file; on failure throws std::runtime_error carrying the system's error text.
  std::function<void(const std::string& name, const std::vector<uint8_t>& bytes)> write_file;
  std::function<std::string(const std::string& name)> full_path;        // name in the current folder
  std::function<void*(const std::string& path)> load_library;           // nullptr when it does not load
  std::function<void*(void* library, const char* name)> resolve;        // nullptr when missing
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
