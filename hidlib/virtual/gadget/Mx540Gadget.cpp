// mx540_gadget: a real USB MX-540KTR for a Linux kernel with the USB gadget
// framework (the test VM: dummy_hcd, configfs, usb_f_hid). The unit is a HID
// gadget made in configfs; its /dev/hidgN side is served by the virtual
// device's model (DeviceModel), so the host sees the same protocol and
// behaviour as from the virtual device, through usbcore, usbhid and hidraw.
//
//   mx540_gadget --udc dummy_udc.0 --serial VX540K-000001 --dir DIR [--name mx540a]
//
// - DIR is the unit's state and control folder, as for the virtual device
//   (hidlib/virtual/README.md): settings.bin, flash.bin, eeprom.bin,
//   version.txt, device.txt, frames.log, control/NAME.cmd, ...; the state of
//   an earlier run is loaded from it. gadget.txt counts the reports.
// - Boot loader and back are real re-enumerations: the gadget is unbound,
//   its product string ("MX-540KTR (boot)" or "MX-540KTR"), product ID and
//   release number changed, and bound again. `unplug`, `plug`, `replug` do
//   the same without the change.
// - The bus itself takes the transfer time: the model's transfer time is 0
//   unless a `transfer-us` command sets one; erase times are spent before the
//   next report is taken, so the host's writes wait as on the hardware.
// - SIGTERM or SIGINT: the state is written, the gadget unplugged and removed.
// Prints "ready" on its output once the unit is plugged in.
#include "DeviceModel.h"
#include "StateFolder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace mxv;

namespace {

// The descriptor the real unit has: vendor page, report ID 1, one 64-byte
// value in (usage 1) and out (usage 2).
const std::vector<uint8_t> report_descriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
    0x75, 0x08, 0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x09, 0x02, 0x91, 0x02, 0xC0};

std::atomic<bool> stopping{false};

bool write_text(const fs::path& file, const std::string& text) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const ssize_t n = ::write(fd, text.data(), text.size());
  ::close(fd);
  return n == static_cast<ssize_t>(text.size());
}

std::string read_text(const fs::path& file) {
  std::ifstream in(file);
  std::string text;
  std::getline(in, text);
  return text;
}

std::string hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", v & 0xFFFF);
  return text;
}

uint64_t now_ms() {
  static const auto start = std::chrono::steady_clock::now();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

// The unit's gadget in configfs, and its /dev/hidg side.
class Gadget {
 public:
  Gadget(std::string name, std::string udc, std::string run_dir)
      : dir_(fs::path("/sys/kernel/config/usb_gadget") / name), udc_(std::move(udc)),
        node_(fs::path(run_dir) / (name + ".hidg")) {}
  ~Gadget() { remove(); }

  bool create() {
    std::error_code ec;
    for (const char* sub : {"strings/0x409", "functions/hid.usb0", "configs/c.1/strings/0x409"})
      fs::create_directories(dir_ / sub, ec);
    const fs::path hid = dir_ / "functions/hid.usb0";
    const std::string descriptor(report_descriptor.begin(), report_descriptor.end());
    bool ok = write_text(dir_ / "idVendor", hex4(vendor_id)) && write_text(hid / "protocol", "0") &&
              write_text(hid / "subclass", "0") && write_text(hid / "report_length", std::to_string(hid_report_len)) &&
              write_text(hid / "report_desc", descriptor) &&
              write_text(dir_ / "configs/c.1/strings/0x409/configuration", "MX-540KTR") &&
              write_text(dir_ / "configs/c.1/MaxPower", "100");
    if (!fs::exists(dir_ / "configs/c.1/hid.usb0")) fs::create_directory_symlink(hid, dir_ / "configs/c.1/hid.usb0", ec);
    // Our own node for the function's device number: no wait for devtmpfs.
    unsigned major = 0, minor = 0;
    ok = ok && !ec && std::sscanf(read_text(hid / "dev").c_str(), "%u:%u", &major, &minor) == 2;
    fs::create_directories(node_.parent_path(), ec);
    ::unlink(node_.c_str());
    ok = ok && ::mknod(node_.c_str(), S_IFCHR | 0600, makedev(major, minor)) == 0;
    created_ = true;
    return ok;
  }

  bool plug(const TIdentity& id) {
    const fs::path strings = dir_ / "strings/0x409";
    if (!(write_text(dir_ / "idProduct", hex4(id.product)) && write_text(dir_ / "bcdDevice", hex4(id.version)) &&
          write_text(strings / "manufacturer", id.manufacturer_string) &&
          write_text(strings / "product", id.product_string) && write_text(strings / "serialnumber", id.serial_string)))
      return false;
    if (!write_text(dir_ / "UDC", udc_)) return false;  // binds at once: the function's node works now
    fd_ = ::open(node_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd_ >= 0;
  }

  void unplug() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    write_text(dir_ / "UDC", "\n");
  }

  int fd() const { return fd_; }

 private:
  void remove() {
    if (!created_) return;
    unplug();
    ::unlink((dir_ / "configs/c.1/hid.usb0").c_str());
    for (const char* sub : {"configs/c.1/strings/0x409", "configs/c.1", "functions/hid.usb0", "strings/0x409", ""})
      ::rmdir((dir_ / sub).c_str());
    ::unlink(node_.c_str());
  }

  fs::path dir_;
  std::string udc_;
  fs::path node_;
  int fd_ = -1;
  bool created_ = false;
};

struct Counters {
  uint64_t reports_in = 0, reports_out = 0, plugs = 0;
  bool operator==(const Counters&) const = default;
};

// gadget.txt, when the counts changed since it was last written.
void write_counters(const fs::path& dir, const Counters& c) {
  static std::optional<Counters> written;
  if (written == c) return;
  if (write_atomically(dir / "gadget.txt", "reports_in=" + std::to_string(c.reports_in) + "\nreports_out=" +
                                               std::to_string(c.reports_out) + "\nplugs=" +
                                               std::to_string(c.plugs) + "\n"))
    written = c;
}

std::optional<std::string> option(int argc, char** argv, const char* name) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
  const auto udc = option(argc, argv, "--udc");
  const auto serial = option(argc, argv, "--serial");
  const auto dir = option(argc, argv, "--dir");
  if (!udc || !serial || !dir) {
    std::fprintf(stderr, "usage: %s --udc UDC --serial SERIAL --dir FOLDER [--name NAME]\n", argv[0]);
    return 1;
  }
  const std::string name = option(argc, argv, "--name").value_or("mx540-" + *serial);

  struct sigaction stop{};
  stop.sa_handler = [](int) { stopping = true; };
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);

  TDeviceModel model;
  model.set_serial(*serial);
  model.timing.report_us = 0;
  TStateFolder folder{fs::path(*dir)};
  if (!folder.prepare()) {
    std::fprintf(stderr, "mx540_gadget: cannot use the folder %s\n", dir->c_str());
    return 1;
  }
  folder.load(model);

  Gadget gadget(name, *udc, "/run/mx540-gadget");
  Counters counters;
  if (!gadget.create() || !gadget.plug(model.identity())) {
    std::fprintf(stderr, "mx540_gadget: cannot make the USB gadget %s on %s: %s\n", name.c_str(), udc->c_str(),
                 std::strerror(errno));
    return 1;
  }
  ++counters.plugs;
  folder.flush(model);
  write_counters(*dir, counters);
  std::printf("ready\n");
  std::fflush(stdout);

  std::deque<TInputReport> outgoing;
  uint64_t next_folder_pass = 0;
  while (!stopping) {
    const uint64_t now = now_ms();
    if (now >= next_folder_pass) {
      next_folder_pass = now + 20;
      for (const TCommandFile& file : folder.ready_commands()) {
        std::vector<std::string> results;
        for (const std::string& line : file.lines) results.push_back(model.control(line, now_ms()));
        folder.finish_command(file, results);
      }
      folder.flush(model);
      write_counters(*dir, counters);
    }
    model.poll(now_ms());
    for (TBusEvent event : model.take_bus_events()) {
      if (event == TBusEvent::leave) {
        gadget.unplug();
        outgoing.clear();  // a unit that leaves the bus loses what it had not sent
      } else if (gadget.plug(model.identity())) {
        ++counters.plugs;
      } else {
        std::fprintf(stderr, "mx540_gadget: cannot plug %s back in: %s\n", name.c_str(), std::strerror(errno));
      }
    }

    const int fd = gadget.fd();
    int timeout = static_cast<int>(next_folder_pass - std::min(next_folder_pass, now_ms()));
    if (auto due = model.next_due_ms()) timeout = std::min<int>(timeout, static_cast<int>(*due - std::min(*due, now_ms())));
    pollfd p{fd, static_cast<short>(POLLIN | (outgoing.empty() ? 0 : POLLOUT)), 0};
    if (::poll(&p, fd >= 0 ? 1 : 0, std::max(timeout, 0)) <= 0 || fd < 0) continue;

    if (p.revents & POLLOUT) {
      while (!outgoing.empty() && ::write(fd, outgoing.front().data(), outgoing.front().size()) > 0) {
        outgoing.pop_front();
        ++counters.reports_out;
      }
    }
    if (p.revents & POLLIN) {
      uint8_t report[hid_report_len + 1];
      const ssize_t n = ::read(fd, report, sizeof report);
      if (n <= 0) continue;
      ++counters.reports_in;
      const TReportOutcome outcome = model.output_report(report, static_cast<size_t>(n), now_ms());
      // The next report waits while the unit is busy (erasing, or stalled).
      if (outcome.cost_us) std::this_thread::sleep_for(std::chrono::microseconds(outcome.cost_us));
      for (const TInputReport& reply : model.take_input_reports()) outgoing.push_back(reply);
      while (!outgoing.empty() && ::write(fd, outgoing.front().data(), outgoing.front().size()) > 0) {
        outgoing.pop_front();
        ++counters.reports_out;
      }
    }
  }
  folder.flush(model);
  write_counters(*dir, counters);
  return 0;
}
