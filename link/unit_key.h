// What tells one unit apart from every other for the programs that share
// units: its key. A unit's key is its serial number; a unit that reports none
// (the HID library then gives "---", and an empty serial says as little) is
// known by its device path instead. Locks are taken per key (lock_name.h
// spells a key as a lock name), so units without a serial never share a lock.
//
// Portable and free of any platform: every platform's lock uses these.
#pragma once

#include <string>
#include <string_view>

namespace mx::link {

// The HID library's serial number for a device that reports none.
inline constexpr std::string_view no_serial = "---";

inline bool has_serial(std::string_view serial) { return !serial.empty() && serial != no_serial; }

// A device path as the library's record holds it, without the terminating
// NUL characters the record carries.
inline std::string path_text(std::string_view record_path) {
  while (!record_path.empty() && record_path.back() == '\0')
    record_path.remove_suffix(1);
  return std::string(record_path);
}

// The serial when the unit has one, else its device path.
inline std::string unit_key(std::string_view serial, std::string_view path) {
  return has_serial(serial) ? std::string(serial) : path_text(path);
}

}  // namespace mx::link
