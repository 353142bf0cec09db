// The device record's strings under Wine: Wine's hidraw marks replaced by the
// USB device's own strings (sysfs first, the joined name split second),
// nothing changed elsewhere.
#include "WineStrings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

namespace {

using hidlib::wine::DeviceStrings;
using hidlib::wine::StringSource;
using hidlib::wine::SysfsView;
using Text = std::optional<std::string>;

// A sysfs made of hidraw nodes, as the kernel lays out a USB HID device.
class FakeSysfs final : public SysfsView {
 public:
  bool readable = true;

  // hidrawN of a device at `usb` (its USB device folder) with the HID
  // device's uevent, and the USB device's attributes (nullopt: absent).
  void node(const std::string& hidraw, const std::string& usb, uint16_t bus, uint16_t vid, uint16_t pid,
            const std::string& uniq, Text manufacturer, Text product, uint16_t usb_vid = 0) {
    char id[32];
    std::snprintf(id, sizeof id, "%04X:%08X:%08X", bus, vid, pid);
    const std::string hid = usb + "/" + usb.substr(usb.rfind('/') + 1) + ":1.0/" + id + "." + hidraw;
    nodes_.push_back(hidraw);
    links_["/sys/class/hidraw/" + hidraw + "/device"] = hid;
    files_["/sys/class/hidraw/" + hidraw + "/device/uevent"] =
        "DRIVER=hid-generic\nHID_ID=" + std::string(id) + "\nHID_NAME=joined\nHID_PHYS=usb-x/input0\nHID_UNIQ=" +
        uniq + "\nMODALIAS=hid:b0003g0001v00001234p00005678\n";
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04x\n", usb_vid ? usb_vid : vid);
    files_[usb + "/idVendor"] = hex;
    std::snprintf(hex, sizeof hex, "%04x\n", pid);
    files_[usb + "/idProduct"] = hex;
    if (manufacturer) files_[usb + "/manufacturer"] = *manufacturer + "\n";
    if (product) files_[usb + "/product"] = *product + "\n";
  }

  std::optional<std::vector<std::string>> list(const std::string& dir) override {
    if (!readable || dir != "/sys/class/hidraw") return std::nullopt;
    return nodes_;
  }
  std::optional<std::string> read(const std::string& file) override {
    const auto it = files_.find(file);
    if (!readable || it == files_.end()) return std::nullopt;
    return it->second;
  }
  std::optional<std::string> real_path(const std::string& path) override {
    const auto it = links_.find(path);
    if (!readable || it == links_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::vector<std::string> nodes_;
  std::map<std::string, std::string> files_, links_;
};

constexpr uint16_t kVid = 0x1234, kPid = 0x5678;

// Two units on the dummy host controller, a Bluetooth device, and a unit whose
// USB device gives no manufacturer string.
FakeSysfs machine() {
  FakeSysfs fs;
  fs.node("hidraw0", "/sys/devices/platform/dummy_hcd.0/usb1/1-1", 3, kVid, kPid, "VX540K-000001", "VORNIX",
          "MX-540KTR");
  fs.node("hidraw1", "/sys/devices/platform/dummy_hcd.1/usb2/2-1", 3, kVid, kPid, "VX540K-000002", "VORNIX",
          "MX-540KTR (boot)");
  fs.node("hidraw2", "/sys/devices/virtual/misc/uhid", 5, 0x046D, 0xB023, "aa:bb", std::nullopt, std::nullopt);
  fs.node("hidraw3", "/sys/devices/pci0000:00/0000:00:14.0/usb3/3-2", 3, kVid, kPid, "NOMAKER", std::nullopt,
          "MX-540KTR");
  fs.node("hidraw4", "/sys/devices/pci0000:00/0000:00:14.0/usb3/3-3", 3, kVid, 0x0001, "ODD", "VORNIX", "X", 0x9999);
  return fs;
}

DeviceStrings wine(Text manufacturer, Text product, Text serial, uint16_t vid = kVid, uint16_t pid = kPid) {
  return {std::move(manufacturer), std::move(product), std::move(serial), vid, pid};
}

TEST(WineStrings, RecordHoldsTheUsbDevicesOwnStrings) {
  struct Case {
    const char* what;
    bool under_wine;
    bool sysfs_readable;
    DeviceStrings reported;
    Text manufacturer, product;
    StringSource source;
  };
  const Case cases[] = {
      {"the unit under Wine: sysfs", true, true, wine("hidraw", "VORNIX MX-540KTR", "VX540K-000001"), "VORNIX",
       "MX-540KTR", StringSource::Sysfs},
      {"the other unit, told apart by its serial", true, true,
       wine("hidraw", "VORNIX MX-540KTR (boot)", "VX540K-000002"), "VORNIX", "MX-540KTR (boot)",
       StringSource::Sysfs},
      {"a USB device without a manufacturer string", true, true, wine("hidraw", "MX-540KTR", "NOMAKER"),
       std::nullopt, "MX-540KTR", StringSource::Sysfs},
      {"sysfs unreadable: split at the first blank", true, false,
       wine("hidraw", "VORNIX MX-540KTR (boot)", "VX540K-000001"), "VORNIX", "MX-540KTR (boot)",
       StringSource::Split},
      {"no node with these IDs: split", true, true, wine("hidraw", "VORNIX MX-540KTR", "VX540K-000009"), "VORNIX",
       "MX-540KTR", StringSource::Split},
      {"the USB device above is not the one matched: split", true, true,
       wine("hidraw", "VORNIX X", "ODD", kVid, 0x0001), "VORNIX", "X", StringSource::Split},
      {"nothing to split: what Wine gave", true, false, wine("hidraw", "MX540KTR", "VX540K-000001"), "hidraw",
       "MX540KTR", StringSource::Reported},
      {"a blank at the end only: what Wine gave", true, false, wine("hidraw", "VORNIX ", "VX540K-000001"), "hidraw",
       "VORNIX ", StringSource::Reported},
      {"a node on Bluetooth: its name is no joined pair", true, true,
       wine("hidraw", "MX Master 3", "aa:bb", 0x046D, 0xB023), "hidraw", "MX Master 3", StringSource::Reported},
      {"Wine's own mouse", true, true, wine("The Wine Project", "Wine HID mouse", "0000", 0x845E, 0x0001),
       "The Wine Project", "Wine HID mouse", StringSource::Reported},
      {"on Windows a manufacturer called hidraw stays", false, true,
       wine("hidraw", "VORNIX MX-540KTR", "VX540K-000001"), "hidraw", "VORNIX MX-540KTR", StringSource::Reported},
  };
  for (const Case& c : cases) {
    FakeSysfs fs = machine();
    fs.readable = c.sysfs_readable;
    const auto got = hidlib::wine::true_strings(c.under_wine, c.reported, &fs);
    EXPECT_EQ(got.manufacturer, c.manufacturer) << c.what;
    EXPECT_EQ(got.product, c.product) << c.what;
    EXPECT_EQ(got.source, c.source) << c.what;
  }
  // Without a view of the file system at all, the split still applies.
  const auto got = hidlib::wine::true_strings(true, wine("hidraw", "VORNIX MX-540KTR", "VX540K-000001"), nullptr);
  EXPECT_EQ(got.manufacturer, Text("VORNIX"));
  EXPECT_EQ(got.product, Text("MX-540KTR"));
}

TEST(WineStrings, UeventNeedsAWellFormedHidId) {
  const auto ok = hidlib::wine::parse_uevent("DRIVER=hid-generic\nHID_ID=0003:00001234:0000ABCD\n"
                                             "HID_NAME=VORNIX MX-540KTR\nHID_UNIQ=VX540K-000001\n");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->bus, 3);
  EXPECT_EQ(ok->vendor_id, 0x1234);
  EXPECT_EQ(ok->product_id, 0xABCD);
  EXPECT_EQ(ok->name, "VORNIX MX-540KTR");
  EXPECT_EQ(ok->uniq, "VX540K-000001");
  for (const char* bad : {"HID_NAME=x\n", "HID_ID=0003:00001234\n", "HID_ID=0003:0001234G:00005678\n",
                          "HID_ID=0003:00012345:00005678\n", "HID_ID=0003::00005678\n"})
    EXPECT_FALSE(hidlib::wine::parse_uevent(bad)) << bad;
}

}  // namespace
