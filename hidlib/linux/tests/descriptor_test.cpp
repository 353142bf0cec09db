// The report descriptor parser against descriptors whose lengths and values
// are known from the HID class definition and from what the Windows parser
// reports for such devices.
#include "ReportDescriptor.h"
#include "descriptors.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace hidlib;
using Bytes = std::vector<uint8_t>;

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string caps_text(const ValueCapsAnswer& a) {
  std::string out = a.Status == HIDP_STATUS_SUCCESS           ? "ok"
                    : a.Status == HIDP_STATUS_BUFFER_TOO_SMALL ? "too-small"
                    : a.Status == HIDP_STATUS_USAGE_NOT_FOUND  ? "none"
                                                                : "?";
  for (int i = 0; i < a.Count && i < HID_VALUE_CAPS_ASKED; ++i)
    out += " " + std::to_string(a.Caps[i].Usage) + "/" + std::to_string(a.Caps[i].ReportID) + "/" +
           std::to_string(a.Caps[i].BitSize) + "x" + std::to_string(a.Caps[i].ReportCount);
  return out;
}

TEST(ReportDescriptor, LengthsAndValuesOfKnownDevices) {
  // Twelve one-usage 16-bit values, unnumbered.
  Bytes twelve = {0x75, 0x10, 0x95, 0x01};
  for (int i = 1; i <= 12; ++i) twelve.insert(twelve.end(), {0x09, static_cast<uint8_t>(i), 0x81, 0x02});
  // Report size 8 pushed, 16 set, popped: the value is 8 bits wide.
  const Bytes push_pop = {0x75, 0x08, 0xA4, 0x75, 0x10, 0xB4, 0x95, 0x01, 0x09, 0x07, 0x81, 0x02};
  // A long item (vendor data) before the MX-540KTR's descriptor changes nothing.
  const Bytes long_item = join({{0xFE, 0x02, 0x10, 0xAA, 0xBB}, descriptors::mx540});
  // Cut in the middle of the Output item: only the Input counts.
  const Bytes cut(descriptors::mx540.begin(), descriptors::mx540.end() - 2);
  // A four-byte usage carries its page in the high half.
  const Bytes extended = {0x75, 0x08, 0x95, 0x02, 0x0B, 0x34, 0x12, 0x00, 0xFF, 0x91, 0x02};
  // Three report IDs of 2, 10 and 1 bytes: the longest gives the length.
  const Bytes several_ids = {0x75, 0x08, 0x85, 0x01, 0x95, 0x02, 0x81, 0x03, 0x85, 0x02, 0x95,
                             0x0A, 0x81, 0x03, 0x85, 0x04, 0x95, 0x01, 0x81, 0x03};

  struct Case {
    const char* name;
    Bytes bytes;
    uint16_t in, out, feature;
    bool numbered;
    std::string in_caps, out_caps, feature_caps;
  } cases[] = {
      {"MX-540KTR", descriptors::mx540, 65, 65, 0, true, "ok 1/1/8x64", "ok 2/1/8x64", "none"},
      {"unnumbered vendor", descriptors::vendor_unnumbered, 65, 65, 0, false, "ok 1/0/8x64", "ok 2/0/8x64", "none"},
      {"boot keyboard", descriptors::boot_keyboard, 9, 2, 0, false, "none", "none", "none"},
      {"mouse and feature", descriptors::mouse_with_feature, 6, 0, 5, true, "ok 48/2/16x1 49/2/16x1 56/2/8x1",
       "none", "ok 1/3/8x4"},
      {"twelve values", twelve, 25, 0, 0, false, "too-small 1/0/16x1 2/0/16x1 3/0/16x1 4/0/16x1 5/0/16x1 "
       "6/0/16x1 7/0/16x1 8/0/16x1 9/0/16x1 10/0/16x1", "none", "none"},
      {"push and pop", push_pop, 2, 0, 0, false, "ok 7/0/8x1", "none", "none"},
      {"long item", long_item, 65, 65, 0, true, "ok 1/1/8x64", "ok 2/1/8x64", "none"},
      {"cut off", cut, 65, 0, 0, true, "ok 1/1/8x64", "none", "none"},
      {"extended usage", extended, 0, 3, 0, false, "none", "ok 4660/0/8x2", "none"},
      {"several report IDs", several_ids, 11, 0, 0, true, "none", "none", "none"},
      {"empty", {}, 0, 0, 0, false, "none", "none", "none"},
  };
  for (const Case& c : cases) {
    const ParsedDescriptor p = parse_report_descriptor(c.bytes);
    EXPECT_EQ(p.layout.InputReportByteLength, c.in) << c.name;
    EXPECT_EQ(p.layout.OutputReportByteLength, c.out) << c.name;
    EXPECT_EQ(p.layout.FeatureReportByteLength, c.feature) << c.name;
    EXPECT_EQ(p.numbered, c.numbered) << c.name;
    EXPECT_EQ(caps_text(p.layout.Values[0]), c.in_caps) << c.name;
    EXPECT_EQ(caps_text(p.layout.Values[1]), c.out_caps) << c.name;
    EXPECT_EQ(caps_text(p.layout.Values[2]), c.feature_caps) << c.name;
  }
}

}  // namespace
