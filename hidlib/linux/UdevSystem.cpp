// The system side of the hidraw platform: libudev for the list of nodes, their
// USB device's IDs and strings, and the device changes; sysfs for the report
// descriptor; open(2) and access(2) for the node itself.
#include "HidrawPlatform.h"

#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

namespace hidlib {

namespace {

struct UdevRef {
  udev* u = udev_new();
  ~UdevRef() {
    if (u) udev_unref(u);
  }
};
struct DeviceRef {
  udev_device* d;
  ~DeviceRef() {
    if (d) udev_device_unref(d);
  }
};

std::optional<std::string> attribute(udev_device* device, const char* name) {
  const char* value = device ? udev_device_get_sysattr_value(device, name) : nullptr;
  if (!value) return std::nullopt;
  return std::string(value);
}

uint16_t hex16(const std::optional<std::string>& text) {
  if (!text) return 0;
  return static_cast<uint16_t>(std::strtoul(text->c_str(), nullptr, 16));
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// udevd re-broadcasts a device after its rules ran (so a new node already has
// its permissions); without udevd only the kernel's own events come.
const char* monitor_source() { return ::access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel"; }

class UdevSystem final : public HidrawSystem {
 public:
  ~UdevSystem() override { watch(nullptr); }

  bool list(std::vector<std::string>& paths) override {
    std::lock_guard lock(mutex_);
    if (!udev_.u) return false;
    udev_enumerate* e = udev_enumerate_new(udev_.u);
    if (!e) return false;
    udev_enumerate_add_match_subsystem(e, "hidraw");
    const bool scanned = udev_enumerate_scan_devices(e) >= 0;
    for (udev_list_entry* item = udev_enumerate_get_list_entry(e); scanned && item;
         item = udev_list_entry_get_next(item)) {
      DeviceRef device{udev_device_new_from_syspath(udev_.u, udev_list_entry_get_name(item))};
      const char* node = device.d ? udev_device_get_devnode(device.d) : nullptr;
      if (node) paths.emplace_back(node);
    }
    udev_enumerate_unref(e);
    return scanned;
  }

  std::optional<HidrawNodeInfo> describe(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!udev_.u) return std::nullopt;
    DeviceRef node{udev_device_new_from_devnum(udev_.u, 'c', st.st_rdev)};
    if (!node.d) return std::nullopt;
    // Parents belong to the child: not unreferenced here.
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(node.d, "hid", nullptr);
    if (!hid) return std::nullopt;
    HidrawNodeInfo info;
    unsigned bus = 0, vendor = 0, product = 0;
    if (const char* id = udev_device_get_property_value(hid, "HID_ID"))
      std::sscanf(id, "%x:%x:%x", &bus, &vendor, &product);
    info.attributes.VendorID = static_cast<uint16_t>(vendor);
    info.attributes.ProductID = static_cast<uint16_t>(product);
    info.descriptor = read_file(std::string(udev_device_get_syspath(hid)) + "/report_descriptor");

    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node.d, "usb", "usb_device");
    if (usb) {
      info.attributes.VendorID = hex16(attribute(usb, "idVendor"));
      info.attributes.ProductID = hex16(attribute(usb, "idProduct"));
      info.attributes.VersionNumber = hex16(attribute(usb, "bcdDevice"));
      info.manufacturer = attribute(usb, "manufacturer");
      info.product = attribute(usb, "product");
      info.serial = attribute(usb, "serial");
    } else {
      if (const char* name = udev_device_get_property_value(hid, "HID_NAME")) info.product = name;
      const char* uniq = udev_device_get_property_value(hid, "HID_UNIQ");
      if (uniq && *uniq) info.serial = uniq;
    }
    return info;
  }

  bool may_open(const std::string& path) override {
    return ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
  }

  int open_node(const std::string& path, int& error) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    error = fd < 0 ? errno : 0;
    return fd;
  }

  void watch(std::function<void(bool, const std::string&)> changed) override {
    std::lock_guard lock(watch_mutex_);
    if (watcher_.joinable()) {
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
      watcher_.join();
      ::close(stop_);
      stop_ = -1;
    }
    if (!changed) return;
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0) return;
    watcher_ = std::thread([this, changed = std::move(changed)] { run_monitor(changed); });
  }

 private:
  // The monitor thread: its own udev context (libudev objects are not shared
  // across threads), one poll on the monitor and the stop eventfd.
  void run_monitor(const std::function<void(bool, const std::string&)>& changed) {
    UdevRef own;
    udev_monitor* monitor = own.u ? udev_monitor_new_from_netlink(own.u, monitor_source()) : nullptr;
    if (!monitor) return;
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr);
    if (udev_monitor_enable_receiving(monitor) < 0) {
      udev_monitor_unref(monitor);
      return;
    }
    const int fd = udev_monitor_get_fd(monitor);
    for (;;) {
      pollfd fds[2] = {{stop_, POLLIN, 0}, {fd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents) break;
      if (fds[1].revents & POLLIN) {
        // One call per event: each is one node added or removed.
        if (udev_device* device = udev_monitor_receive_device(monitor)) {
          const char* action = udev_device_get_action(device);
          const char* node = udev_device_get_devnode(device);
          const std::string what = action ? action : "", path = node ? node : "";
          udev_device_unref(device);
          if (what == "add" || what == "remove") changed(what == "add", path);
        }
      }
    }
    udev_monitor_unref(monitor);
  }

  std::mutex mutex_;  // udev_ (libudev is not thread-safe)
  UdevRef udev_;
  std::mutex watch_mutex_;
  int stop_ = -1;
  std::thread watcher_;
};

}  // namespace

std::unique_ptr<HidrawSystem> udev_system() { return std::make_unique<UdevSystem>(); }

}  // namespace hidlib
