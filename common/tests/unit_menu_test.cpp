// The main window's title and its Unit menu, from the units a scan saw.
#include "UnitMenu.h"

#include <gtest/gtest.h>

namespace {

// Device paths as Windows gives them for two USB ports (with the NUL the
// library's record may leave at the end).
const std::string port0 = "\\\\?\\hid#vid_1234&pid_5678#7&2f1c9a3b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::string port1 = "\\\\?\\hid#vid_1234&pid_5678#7&2f1c9a3b&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const std::string port1_in_record = port1 + '\0';

TUnitSeen seen(const char* serial, bool boot = false, const char* held_by = "", std::string path = {}) {
  TUnitSeen u;
  u.identity.product = boot ? "MX-540KTR (boot)" : "MX-540KTR";
  u.identity.serial = serial;
  u.identity.boot = boot;
  u.identity.path = path.empty() ? std::string("path of ") + serial : path;
  u.held_by = held_by;
  return u;
}

TEST(UnitMenu, TitleNamesTheUnitAndItsBootMode) {
  EXPECT_EQ(window_title(seen("VX540K-000002").identity), "MX-540KTR \xE2\x80\x94 VX540K-000002");
  EXPECT_EQ(window_title(seen("VX540K-000002", true).identity), "MX-540KTR \xE2\x80\x94 VX540K-000002 (boot)");
  EXPECT_EQ(window_title({}), "MX-540KTR \xE2\x80\x94 no unit");
  // A unit without a serial (the library says "---") is named by its USB port.
  EXPECT_EQ(window_title(seen("---", false, "", port1_in_record).identity),
            "MX-540KTR \xE2\x80\x94 (no serial) 7&2f1c9a3b&0&0001");
  EXPECT_EQ(window_title(seen("", true, "", "/dev/hidraw3").identity),
            "MX-540KTR \xE2\x80\x94 (no serial) /dev/hidraw3 (boot)");
}

TEST(UnitMenu, OneItemPerUnitOursCheckedOthersHeldGreyed) {
  const std::string dash = " \xE2\x80\x94 ";
  struct Case {
    const char* what;
    std::vector<TUnitSeen> units;
    TDeviceIdentity driven;
    std::vector<TUnitMenuItem> items;
  } const cases[] = {
      {"ours and one another panel holds",
       {seen("VX540K-000001"), seen("VX540K-000002", false, "MX_540KTR.exe")},
       seen("VX540K-000001").identity,
       {{"VX540K-000001", "VX540K-000001", "", true, false},
        {"VX540K-000002" + dash + "held by MX_540KTR.exe", "VX540K-000002", "", false, true}}},
      {"ours in boot mode, held by another tool",
       {seen("VX540K-000001", true), seen("VX540K-000002", true, "mx540ctl.exe")},
       seen("VX540K-000001", true).identity,
       {{"VX540K-000001 (boot)", "VX540K-000001", "", true, false},
        {"VX540K-000002 (boot)" + dash + "held by mx540ctl.exe", "VX540K-000002", "", false, true}}},
      {"units without a serial are chosen by path, ours checked",
       {seen("---", false, "", port0), seen("", false, "", port1_in_record)},
       seen("---", false, "", port1).identity,
       {{"(no serial) 7&2f1c9a3b&0&0000", "", port0, false, false},
        {"(no serial) 7&2f1c9a3b&0&0001", "", port1, true, false}}},
      {"two units sharing a serial are told apart by path",
       {seen("VX540K-000007", false, "", port0), seen("VX540K-000007", false, "mx540ctl.exe", port1)},
       seen("VX540K-000007", false, "", port0).identity,
       {{"VX540K-000007 (7&2f1c9a3b&0&0000)", "VX540K-000007", port0, true, false},
        {"VX540K-000007 (7&2f1c9a3b&0&0001)" + dash + "held by mx540ctl.exe", "VX540K-000007",
         port1, false, true}}},
      {"no unit", {}, {}, {{"No unit connected", "", "", false, true}}},
  };
  for (const Case& c : cases) {
    const auto items = unit_menu_items(c.units, c.driven);
    ASSERT_EQ(items.size(), c.items.size()) << c.what;
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].text, c.items[i].text) << c.what << " #" << i;
      EXPECT_EQ(items[i].serial, c.items[i].serial) << c.what << " #" << i;
      EXPECT_EQ(items[i].path, c.items[i].path) << c.what << " #" << i;
      EXPECT_EQ(items[i].checked, c.items[i].checked) << c.what << " #" << i;
      EXPECT_EQ(items[i].greyed, c.items[i].greyed) << c.what << " #" << i;
    }
  }
}

}  // namespace
