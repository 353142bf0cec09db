// The Win32 platform's view of the Linux file system under Wine, which the
// device strings of hidraw devices are read from: listing, whole attribute
// texts (sysfs gives every attribute a page's size), and a link's target
// (a hidraw node's device is a link into /sys/devices).
#include "WineSysfs.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(WineSysfs, ListsReadsAndResolvesLinksUnderWine) {
  if (!hidlib::running_under_wine()) GTEST_SKIP() << "not under Wine: the view is not used";
  auto& sysfs = hidlib::wine_sysfs();
  // The loopback interface is in every network namespace: a link
  // /sys/class/net/lo -> ../../devices/virtual/net/lo.
  const auto names = sysfs.list("/sys/class/net");
  ASSERT_TRUE(names);
  EXPECT_NE(std::find(names->begin(), names->end(), "lo"), names->end());
  EXPECT_EQ(std::count(names->begin(), names->end(), "."), 0);

  const auto uevent = sysfs.read("/sys/class/net/lo/uevent");
  ASSERT_TRUE(uevent);
  EXPECT_NE(uevent->find("INTERFACE=lo\n"), std::string::npos) << *uevent;
  EXPECT_EQ(sysfs.read("/sys/class/net/lo/address"), "00:00:00:00:00:00\n");

  EXPECT_EQ(sysfs.real_path("/sys/class/net/lo"), "/sys/devices/virtual/net/lo");

  EXPECT_FALSE(sysfs.list("/sys/class/no-such-class"));
  EXPECT_FALSE(sysfs.read("/sys/class/net/lo/no-such-attribute"));
  EXPECT_FALSE(sysfs.real_path("/sys/class/net/no-such-interface"));
}

}  // namespace
