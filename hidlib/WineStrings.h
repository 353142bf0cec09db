// The true USB strings of a hidraw device under Wine.
//
// Wine's HID bus (winebus.sys) reaches Linux hidraw nodes through libudev and
// reports them with strings of its own making: the manufacturer string is
// "hidraw" and the product string is the kernel's HID_NAME, which for a USB
// device is its manufacturer and product strings joined by a blank
// ("VORNIX MX-540KTR"); the serial number is right. The device record must
// hold the USB device's own strings, so under Wine, for a device carrying
// those marks, the library looks them up:
//   1. in sysfs (the process sees the Linux file system through Wine): the
//      hidraw node whose uevent has the device's vendor, product (HID_ID) and
//      serial (HID_UNIQ) leads to its USB device two levels up, whose
//      `manufacturer` and `product` attributes are the strings;
//   2. failing that (sysfs not readable, no node matching), the joined string
//      is split at its first blank;
//   3. otherwise (a node matching on another bus than USB, nothing to split)
//      the record keeps what Wine gave: nothing is invented.
// Outside Wine, and for devices without the marks, nothing changes.
//
// Portable: the Win32 platform supplies the sysfs view (Wine's path
// mapping) and whether it runs under Wine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hidlib::wine {

// Wine's mark for a hidraw device: its manufacturer string.
inline constexpr std::string_view kHidrawManufacturer = "hidraw";

// A device's strings (UTF-8; nullopt: the device gives none) and IDs.
struct DeviceStrings {
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  std::optional<std::string> serial;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
};

enum class StringSource : uint8_t {
  Reported,  // as the platform gave them
  Sysfs,     // the USB device's attributes
  Split,     // the joined product string split at its first blank
};

struct TrueStrings {
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  StringSource source = StringSource::Reported;
};

// The Linux file system as the process can read it, by Unix paths.
class SysfsView {
 public:
  virtual ~SysfsView() = default;
  // Names in a directory ("." and ".." left out); nullopt when unreadable.
  virtual std::optional<std::vector<std::string>> list(const std::string& dir) = 0;
  // A file's whole text; nullopt when unreadable.
  virtual std::optional<std::string> read(const std::string& file) = 0;
  // The path with every symbolic link resolved; nullopt when unresolvable.
  virtual std::optional<std::string> real_path(const std::string& path) = 0;
};

// The fields of a hidraw node's HID device uevent that identify it.
struct HidUevent {
  uint16_t bus = 0;  // 3: USB
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  std::string name;  // HID_NAME
  std::string uniq;  // HID_UNIQ
};
// Parses "KEY=value" lines; nullopt without a well-formed HID_ID.
std::optional<HidUevent> parse_uevent(std::string_view text);

// The strings the device record should hold. `sysfs` may be null (no view).
TrueStrings true_strings(bool under_wine, const DeviceStrings& reported, SysfsView* sysfs);

}  // namespace hidlib::wine
