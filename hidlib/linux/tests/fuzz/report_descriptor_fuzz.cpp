// The report descriptor parser on any bytes (a device's descriptor is outside
// input: sysfs hands over whatever the device sent).
//
// Properties, from the parsing rules rather than the parser's code:
//   - parsing the same bytes twice gives the same result;
//   - the answer's status agrees with its count: none -> "usage not found"
//     with count 0, 1..10 -> success, more -> "buffer too small" with 10 kept;
//   - every value kept is wider than one bit and fits its report: its bits are
//     at most the report's bytes (the length minus the ID byte) times 8;
//   - lengths are 0 or at least 2 (an ID byte and one byte of data);
//   - bits only accumulate: the descriptor cut after any whole item never
//     gives a longer report of any type, nor more value capabilities;
//   - a Push/Pop pair in front, and a long item in front, change nothing.
#include "fuzz_target.h"

#include "../descriptors.h"
#include "ReportDescriptor.h"


using namespace hidlib;

namespace {

using Bytes = std::vector<uint8_t>;

bool same_cap(const HidValueCap& a, const HidValueCap& b) {
  return a.Usage == b.Usage && a.ReportID == b.ReportID && a.BitSize == b.BitSize && a.ReportCount == b.ReportCount;
}

// The first `n` capabilities of two answers agree (field by field: the records have padding).
bool same_caps(const ValueCapsAnswer& a, const ValueCapsAnswer& b, int n) {
  for (int i = 0; i < n; ++i)
    if (!same_cap(a.Caps[i], b.Caps[i])) return false;
  return true;
}

bool same(const ParsedDescriptor& a, const ParsedDescriptor& b) {
  const HidReportLayout &x = a.layout, &y = b.layout;
  bool equal = a.numbered == b.numbered && a.main_items == b.main_items &&
               x.InputReportByteLength == y.InputReportByteLength &&
               x.OutputReportByteLength == y.OutputReportByteLength &&
               x.FeatureReportByteLength == y.FeatureReportByteLength;
  for (int t = 0; t < 3 && equal; ++t)
    equal = x.Values[t].Status == y.Values[t].Status && x.Values[t].Count == y.Values[t].Count &&
            same_caps(x.Values[t], y.Values[t], x.Values[t].Count);
  return equal;
}

uint16_t length_of(const HidReportLayout& l, int type) {
  return type == 0 ? l.InputReportByteLength : type == 1 ? l.OutputReportByteLength : l.FeatureReportByteLength;
}

// Where each whole short or long item ends, as the class definition frames them.
std::vector<size_t> item_ends(const Bytes& b) {
  std::vector<size_t> ends;
  size_t at = 0;
  while (at < b.size()) {
    const size_t next = b[at] == 0xFE ? (at + 1 < b.size() ? at + 3 + b[at + 1] : b.size() + 1)
                                      : at + 1 + ((b[at] & 3) == 3 ? 4 : (b[at] & 3));
    if (next > b.size()) break;
    ends.push_back(next);
    at = next;
  }
  return ends;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes bytes(data, data + size);
  const ParsedDescriptor parsed = parse_report_descriptor(bytes);
  FUZZ_CHECK(same(parsed, parse_report_descriptor(bytes)));

  for (int type = 0; type < 3; ++type) {
    const ValueCapsAnswer& a = parsed.layout.Values[type];
    const uint16_t length = length_of(parsed.layout, type);
    FUZZ_CHECK(length == 0 || length >= 2);
    if (a.Status == HIDP_STATUS_USAGE_NOT_FOUND) FUZZ_CHECK(a.Count == 0);
    else if (a.Status == HIDP_STATUS_SUCCESS) FUZZ_CHECK(a.Count >= 1 && a.Count <= HID_VALUE_CAPS_ASKED);
    else FUZZ_CHECK(a.Status == HIDP_STATUS_BUFFER_TOO_SMALL && a.Count == HID_VALUE_CAPS_ASKED);
    for (int i = 0; i < a.Count; ++i) {
      const HidValueCap& cap = a.Caps[i];
      FUZZ_CHECK(cap.BitSize > 1 && cap.ReportCount > 0);
      // Saturated lengths (reports past 64 KiB) say nothing about their values.
      if (length < 0xFFFF)
        FUZZ_CHECK(uint64_t{cap.BitSize} * cap.ReportCount <= (uint64_t{length} - 1) * 8);
    }
  }

  for (size_t end : item_ends(bytes)) {
    const ParsedDescriptor prefix = parse_report_descriptor(bytes.data(), end);
    for (int type = 0; type < 3; ++type) {
      FUZZ_CHECK(length_of(prefix.layout, type) <= length_of(parsed.layout, type));
      const auto& mine = prefix.layout.Values[type];
      const auto& all = parsed.layout.Values[type];
      FUZZ_CHECK(mine.Count <= all.Count);
      FUZZ_CHECK(same_caps(mine, all, mine.Count));
    }
    if (end > 64) break;  // the first items are where a prefix differs most; keep runs fast
  }

  Bytes wrapped = {0xA4, 0xB4, 0xFE, 0x01, 0x00, 0x55};
  wrapped.insert(wrapped.end(), bytes.begin(), bytes.end());
  FUZZ_CHECK(same(parse_report_descriptor(wrapped), parsed));
  return 0;
}

std::vector<FuzzSeed> fuzz_seeds() {
  return {{"mx540", descriptors::mx540},
          {"vendor-unnumbered", descriptors::vendor_unnumbered},
          {"boot-keyboard", descriptors::boot_keyboard},
          {"mouse-with-feature", descriptors::mouse_with_feature}};
}
