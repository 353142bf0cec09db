// The name of a unit's lock: the unit's key (its serial number, or its device
// path when it has none) spelled so that two keys never give one name.
// Letters, digits and '-' stand for themselves; every other byte, '_' itself
// included, becomes '_' and two upper-case hex digits. An empty key is "_",
// which no other key gives.
#pragma once

#include <string>
#include <string_view>

namespace mx::link {

inline std::string lock_name_for(std::string_view key) {
  static constexpr char hex[] = "0123456789ABCDEF";
  if (key.empty())
    return "_";
  std::string name;
  for (const char ch : key) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-') {
      name += ch;
    } else {
      name += '_';
      name += hex[c >> 4];
      name += hex[c & 0xF];
    }
  }
  return name;
}

}  // namespace mx::link
