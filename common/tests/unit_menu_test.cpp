// The main window's title and its Unit menu, from the units a scan saw.
#include "UnitMenu.h"

#include <gtest/gtest.h>

namespace {

TUnitSeen seen(const char* serial, bool boot = false, const char* held_by = "") {
  TUnitSeen u;
  u.identity.product = boot ? "MX-540KTR (boot)" : "MX-540KTR";
  u.identity.serial = serial;
  u.identity.boot = boot;
  u.held_by = held_by;
  return u;
}

TEST(UnitMenu, TitleNamesTheUnitAndItsBootMode) {
  EXPECT_EQ(window_title(seen("VX540K-000002").identity), "MX-540KTR \xE2\x80\x94 VX540K-000002");
  EXPECT_EQ(window_title(seen("VX540K-000002", true).identity), "MX-540KTR \xE2\x80\x94 VX540K-000002 (boot)");
  EXPECT_EQ(window_title({}), "MX-540KTR \xE2\x80\x94 no unit");
}

TEST(UnitMenu, OneItemPerUnitOursCheckedOthersHeldGreyed) {
  const std::string dash = " \xE2\x80\x94 ";
  struct Case {
    const char* what;
    std::vector<TUnitSeen> units;
    std::string driven;
    std::vector<TUnitMenuItem> items;
  } const cases[] = {
      {"ours and one another panel holds",
       {seen("VX540K-000001"), seen("VX540K-000002", false, "MX_540KTR.exe")},
       "VX540K-000001",
       {{"VX540K-000001", "VX540K-000001", true, false},
        {"VX540K-000002" + dash + "held by MX_540KTR.exe", "VX540K-000002", false, true}}},
      {"a free unit in boot mode, none driven",
       {seen("VX540K-000003", true)},
       "",
       {{"VX540K-000003 (boot)", "VX540K-000003", false, false}}},
      {"ours in boot mode, held by another tool",
       {seen("VX540K-000001", true), seen("VX540K-000002", true, "mx540ctl.exe")},
       "VX540K-000001",
       {{"VX540K-000001 (boot)", "VX540K-000001", true, false},
        {"VX540K-000002 (boot)" + dash + "held by mx540ctl.exe", "VX540K-000002", false, true}}},
      {"a unit without a serial cannot be chosen", {seen("")}, "", {{"(no serial number)", "", false, true}}},
      {"no unit", {}, "", {{"No unit connected", "", false, true}}},
  };
  for (const Case& c : cases) {
    const auto items = unit_menu_items(c.units, c.driven);
    ASSERT_EQ(items.size(), c.items.size()) << c.what;
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].text, c.items[i].text) << c.what << " #" << i;
      EXPECT_EQ(items[i].serial, c.items[i].serial) << c.what << " #" << i;
      EXPECT_EQ(items[i].checked, c.items[i].checked) << c.what << " #" << i;
      EXPECT_EQ(items[i].greyed, c.items[i].greyed) << c.what << " #" << i;
    }
  }
}

}  // namespace
