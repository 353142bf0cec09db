// What the HID library's records need from a HID report descriptor: the byte
// length of the longest report of each type, the value capabilities of each
// type, and whether the reports are numbered. On Windows the HID parser gives
// these (preparsed data); on Linux the platform reads the descriptor itself
// (sysfs `report_descriptor`) and parses it here.
//
// The rules, as the Windows parser applies them:
//   - a report's bytes are the bits of its main items (Input, Output, Feature)
//     rounded up to whole bytes; a type's byte length is its longest report
//     plus the report-ID byte, which counts even when reports are unnumbered;
//     a type without reports has length 0;
//   - a value capability is a main item that is a variable (not an array),
//     not constant and more than one bit wide; buttons (one-bit variables and
//     arrays) and padding are not values. A usage range gives one capability
//     (its first usage, the whole count); listed usages give one capability
//     each, one report field each, the last usage taking the fields left; an
//     item without usages gives one capability of usage 0;
//   - capabilities are listed in descriptor order; past HID_VALUE_CAPS_ASKED
//     the answer holds the first ones and says "buffer too small" (as the
//     simulated platform answers); a type without any says "usage not found".
// Malformed input never fails the parse: an item that runs past the end ends
// it, pops without a push and unknown tags are ignored, sizes saturate.
#pragma once

#include "HidPlatform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hidlib {

struct ParsedDescriptor {
  HidReportLayout layout;  // lengths and value capabilities, indexed by ReportType
  bool numbered = false;   // some main item follows a Report ID: every report starts with its ID
  size_t main_items = 0;   // Input, Output and Feature items seen
};

ParsedDescriptor parse_report_descriptor(const uint8_t* bytes, size_t size);
inline ParsedDescriptor parse_report_descriptor(const std::vector<uint8_t>& bytes) {
  return parse_report_descriptor(bytes.data(), bytes.size());
}

}  // namespace hidlib
