#include "WineStrings.h"

#include <charconv>

namespace hidlib::wine {

namespace {

constexpr uint16_t kBusUsb = 3;
constexpr std::string_view kHidrawClass = "/sys/class/hidraw";

std::optional<uint32_t> hex(std::string_view text) {
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
  if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
  return value;
}

// A sysfs attribute's text without its line end.
std::string attribute_text(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::string parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

struct Lookup {
  enum class Outcome : uint8_t { NotFound, NotUsb, Found } outcome = Outcome::NotFound;
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
};

// The USB strings of the hidraw node that has the device's IDs and serial.
// Several matching nodes must agree (a device with several HID interfaces
// has a node for each, all under the same USB device).
Lookup sysfs_lookup(const DeviceStrings& device, SysfsView& sysfs) {
  Lookup result;
  const auto nodes = sysfs.list(std::string(kHidrawClass));
  if (!nodes) return result;
  const std::string serial = device.serial.value_or("");
  bool matched = false;
  for (const std::string& node : *nodes) {
    const std::string device_dir = std::string(kHidrawClass) + "/" + node + "/device";
    const auto text = sysfs.read(device_dir + "/uevent");
    if (!text) continue;
    const auto uevent = parse_uevent(*text);
    if (!uevent || uevent->vendor_id != device.vendor_id || uevent->product_id != device.product_id ||
        uevent->uniq != serial)
      continue;
    Lookup here;
    here.outcome = Lookup::Outcome::NotUsb;
    if (uevent->bus == kBusUsb) {
      // hidrawN/device is the HID device; its parent the USB interface, and
      // that one's parent the USB device with the strings.
      const auto real = sysfs.real_path(device_dir);
      if (!real) return {};
      const std::string usb = parent(parent(*real));
      const auto vendor = sysfs.read(usb + "/idVendor");
      const auto product = sysfs.read(usb + "/idProduct");
      if (!vendor || !product || hex(attribute_text(*vendor)) != device.vendor_id ||
          hex(attribute_text(*product)) != device.product_id)
        return {};
      here.outcome = Lookup::Outcome::Found;
      if (auto text = sysfs.read(usb + "/manufacturer")) here.manufacturer = attribute_text(*text);
      if (auto text = sysfs.read(usb + "/product")) here.product = attribute_text(*text);
    }
    if (matched && (here.outcome != result.outcome || here.manufacturer != result.manufacturer ||
                    here.product != result.product))
      return {};  // nodes that disagree tell nothing
    result = here;
    matched = true;
  }
  return result;
}

}  // namespace

std::optional<HidUevent> parse_uevent(std::string_view text) {
  HidUevent out;
  bool has_id = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "HID_ID") {
      // BBBB:VVVVVVVV:PPPPPPPP
      const size_t first = value.find(':'), second = value.find(':', first + 1);
      if (first == std::string_view::npos || second == std::string_view::npos) return std::nullopt;
      const auto bus = hex(value.substr(0, first));
      const auto vendor = hex(value.substr(first + 1, second - first - 1));
      const auto product = hex(value.substr(second + 1));
      if (!bus || !vendor || !product || *bus > 0xFFFF || *vendor > 0xFFFF || *product > 0xFFFF)
        return std::nullopt;
      out.bus = static_cast<uint16_t>(*bus);
      out.vendor_id = static_cast<uint16_t>(*vendor);
      out.product_id = static_cast<uint16_t>(*product);
      has_id = true;
    } else if (key == "HID_NAME") {
      out.name = value;
    } else if (key == "HID_UNIQ") {
      out.uniq = value;
    }
  }
  if (!has_id) return std::nullopt;
  return out;
}

TrueStrings true_strings(bool under_wine, const DeviceStrings& reported, SysfsView* sysfs) {
  TrueStrings out{reported.manufacturer, reported.product, StringSource::Reported};
  if (!under_wine || reported.manufacturer != kHidrawManufacturer) return out;

  if (sysfs) {
    const Lookup found = sysfs_lookup(reported, *sysfs);
    if (found.outcome == Lookup::Outcome::Found) return {found.manufacturer, found.product, StringSource::Sysfs};
    // Not a USB device: its name is not a joined pair of USB strings.
    if (found.outcome == Lookup::Outcome::NotUsb) return out;
  }

  // The kernel joins the USB strings with one blank; a manufacturer without
  // blanks comes back whole.
  if (reported.product) {
    const std::string& joined = *reported.product;
    const size_t blank = joined.find(' ');
    if (blank != std::string::npos && blank > 0 && blank + 1 < joined.size())
      return {joined.substr(0, blank), joined.substr(blank + 1), StringSource::Split};
  }
  return out;
}

}  // namespace hidlib::wine
