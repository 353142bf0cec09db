// Item tables and item counts: how a device's value capabilities become the
// counts a host sees for each report ID.
#include "HidLibrary.h"

#include <gtest/gtest.h>

#include <vector>

using namespace hidlib;

namespace {

ValueCapsAnswer answer(uint32_t status, std::vector<HidValueCap> caps, int reported_count = -1) {
  ValueCapsAnswer a;
  a.Status = status;
  for (size_t j = 0; j < caps.size() && j < HID_VALUE_CAPS_ASKED; ++j) a.Caps[j] = caps[j];
  a.Count = static_cast<uint16_t>(reported_count >= 0 ? reported_count : static_cast<int>(caps.size()));
  return a;
}

HidValueCap value(uint8_t report_id, uint16_t report_count, uint16_t usage = 0x20, uint16_t bits = 8) {
  return HidValueCap{usage, report_id, bits, report_count};
}

struct CountCase {
  const char* name;
  uint16_t length;
  ValueCapsAnswer caps;
  uint8_t report_id;
  uint8_t expected;
};

}  // namespace

TEST(ItemCount, FollowsTheValueCapabilitiesOrTheWholeReport) {
  const CountCase cases[] = {
      {"two controls of one ID add up", 65,
       answer(HIDP_STATUS_SUCCESS, {value(1, 30), value(1, 33)}), 1, 63},
      {"unknown ID counts the whole report minus its ID byte", 65,
       answer(HIDP_STATUS_SUCCESS, {value(1, 30), value(1, 33)}), 5, 64},
      {"unknown ID on a type without reports", 0, answer(HIDP_STATUS_SUCCESS, {value(1, 30)}), 5, 0},
      {"single one-item control is the whole report", 65, answer(HIDP_STATUS_SUCCESS, {value(1, 1)}), 1, 64},
      {"single one-item control on an empty report", 0, answer(HIDP_STATUS_SUCCESS, {value(1, 1)}), 1, 0},
      {"single control of several items stays", 65, answer(HIDP_STATUS_SUCCESS, {value(2, 7)}), 2, 7},
      {"two one-item controls are not fixed up", 65,
       answer(HIDP_STATUS_SUCCESS, {value(3, 1), value(3, 1)}), 3, 2},
      {"no value controls: whole report, report ID 0", 9,
       answer(HIDP_STATUS_USAGE_NOT_FOUND, {}), 0, 8},
      {"no value controls: any other ID is the whole report too", 9,
       answer(HIDP_STATUS_USAGE_NOT_FOUND, {}), 4, 8},
      {"failed query ignores what came back", 65,
       answer(0xC0110001u, {value(1, 30)}), 1, 64},
      {"the sum is 8-bit", 65, answer(HIDP_STATUS_SUCCESS, {value(1, 200), value(1, 100)}), 1, 44},
      {"a sum that wraps to 0 counts as none", 65,
       answer(HIDP_STATUS_SUCCESS, {value(1, 200), value(1, 56)}), 1, 64},
      {"the length's low byte minus one", 300, answer(HIDP_STATUS_USAGE_NOT_FOUND, {}), 0, 43},
      {"report count's low byte", 65, answer(HIDP_STATUS_SUCCESS, {value(1, 0x105), value(1, 2)}), 1, 7},
  };
  for (const CountCase& c : cases) {
    THIDReportItem items[HID_ITEMS_PER_TABLE];
    build_item_table(items, c.length, c.caps);
    EXPECT_EQ(item_count(items, c.length, c.report_id), c.expected) << c.name;
  }
}

TEST(ItemTable, EmptyTypeDescribesTheWholeReportInEntryZero) {
  THIDReportItem items[HID_ITEMS_PER_TABLE];
  build_item_table(items, 65, answer(HIDP_STATUS_USAGE_NOT_FOUND, {}));
  EXPECT_EQ(+items[0].Usage, 0);
  EXPECT_EQ(items[0].ReportID, 0);
  EXPECT_EQ(items[0].BitSize, 8);
  EXPECT_EQ(items[0].ReportCount, 64);
  for (int j = 1; j < HID_ITEMS_PER_TABLE; ++j) {
    EXPECT_EQ(items[j].ReportID, 0) << j;
    EXPECT_EQ(items[j].ReportCount, 0) << j;
    EXPECT_EQ(items[j].BitSize, 0) << j;
  }
}

TEST(ItemTable, KeepsTheFirstTenOfMoreValueCapabilities) {
  std::vector<HidValueCap> caps;
  for (uint16_t j = 0; j < 12; ++j) caps.push_back(value(1, 2, 0x30 + j, 16));
  // Parsers differ in what they report as the count past the buffer's room;
  // both the room and the full count must keep exactly the first ten.
  for (int reported : {10, 12}) {
    THIDReportItem items[HID_ITEMS_PER_TABLE];
    build_item_table(items, 65, answer(HIDP_STATUS_BUFFER_TOO_SMALL, caps, reported));
    for (int j = 0; j < HID_ITEMS_PER_TABLE; ++j) {
      EXPECT_EQ(+items[j].Usage, 0x30 + j) << reported << " " << j;
      EXPECT_EQ(items[j].BitSize, 16);
      EXPECT_EQ(items[j].ReportCount, 2);
    }
    EXPECT_EQ(item_count(items, 65, 1), 20);
  }
}

TEST(ItemTable, CopiesUsageIdBitsAndCountLowBytes) {
  THIDReportItem items[HID_ITEMS_PER_TABLE];
  build_item_table(items, 65, answer(HIDP_STATUS_SUCCESS, {value(7, 0x0203, 0xFF01, 0x0110), value(8, 4)}));
  EXPECT_EQ(+items[0].Usage, 0xFF01);
  EXPECT_EQ(items[0].ReportID, 7);
  EXPECT_EQ(items[0].BitSize, 0x10);
  EXPECT_EQ(items[0].ReportCount, 0x03);
  EXPECT_EQ(items[1].ReportID, 8);
  EXPECT_EQ(items[2].ReportID, 0);
  EXPECT_EQ(items[2].BitSize, 0);
}

TEST(LengthPrefixedString, CutsAfter255Bytes) {
  THIDString field;
  set_string(field, std::string(300, 'x'));
  EXPECT_EQ(field.Length, 255);
  EXPECT_EQ(hid_text(field), std::string(255, 'x'));
  set_string(field, "VORNIX");
  EXPECT_EQ(hid_text(field), "VORNIX");
}
