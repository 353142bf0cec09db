// The HID library's Linux platform: hidraw nodes (/dev/hidrawN).
//
// - Listing and describing a node never opens it. udev (libudev) lists the
//   hidraw nodes and gives, for each, the IDs, version and strings of the USB
//   device above it, and sysfs its report descriptor, which ReportDescriptor
//   parses into the report lengths and value capabilities the records hold.
//   So a user who may not open a unit still sees it listed; the scan's
//   read-write probe is access(2) (ACLs included), its query probe needs
//   nothing.
//   A node without a USB device above it (Bluetooth, uhid, I2C) gets the IDs
//   of the HID device (HID_ID), version 0, no manufacturer, its HID name as
//   the product and its unique ID, if any, as the serial number.
// - HIDopenDevice opens the node for reading and writing (non-blocking,
//   close-on-exec) in either mode: with only access 0 there is nothing a host
//   can do with a node. A refused open is remembered with its errno, so that a
//   host can tell "permission denied" (EACCES, EPERM) from a unit that left
//   (open_refusal).
// - Writes (the ordinary and the control path alike) are one write(2) of the
//   whole report, report-ID byte first: the HID driver sends it on the
//   interrupt OUT endpoint when the device has one, as SET_REPORT on the
//   control pipe otherwise, and strips a report ID 0. The kernel bounds the
//   transfer (5 s on USB). Feature reports and the input report on the
//   control pipe use the hidraw ioctls.
// - Reads: the read thread's ReadWaiter is one poll(2) on the node and an
//   eventfd that signal() raises; no polling loop, no sleep. Unnumbered
//   reports arrive from hidraw without an ID byte; the platform puts the 0 in
//   front, as the Windows driver does.
// - Device changes: a udev monitor on its own thread calls the poster the
//   library's shell installs (LoadedLibrary: the host's device-change
//   handler, on the thread that pumps it), once per hidraw node added or
//   removed; or a host's own node change handler. It listens to udevd's events
//   (after the rules have run, so a new node has its permissions) when udevd
//   runs, to the kernel's otherwise.
// - Every failure maps to the library's results (false, HID_NO_HANDLE).
#pragma once

#include "HidPlatform.h"
#include "ReportDescriptor.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hidlib {

// One node as the system describes it, without opening it.
struct HidrawNodeInfo {
  HidAttributes attributes;
  std::optional<std::string> manufacturer, product, serial;
  std::vector<uint8_t> descriptor;
};

// What the platform needs of the system apart from I/O on an open node: udev
// and the file system (udev_system()); tests stand in for it.
class HidrawSystem {
 public:
  virtual ~HidrawSystem() = default;
  // The hidraw nodes present, in bus order; false when they cannot be listed.
  virtual bool list(std::vector<std::string>& paths) = 0;
  virtual std::optional<HidrawNodeInfo> describe(const std::string& path) = 0;
  // Whether this process may open the node for reading and writing.
  virtual bool may_open(const std::string& path) = 0;
  // The node opened for reading and writing, non-blocking and close-on-exec;
  // -1 and the errno in `error` when refused.
  virtual int open_node(const std::string& path, int& error) = 0;
  // Calls `changed` on a thread of its own whenever a node comes (true) or
  // goes (false); an empty function stops watching (and returns once no call
  // runs).
  virtual void watch(std::function<void(bool added, const std::string& path)> changed) = 0;
};
std::unique_ptr<HidrawSystem> udev_system();

// A node that came or went.
struct NodeChange {
  bool added = false;
  std::string path;
};

// The last refused open of a node, and the serial number the node had.
struct OpenRefusal {
  std::string path;
  std::optional<std::string> serial;
  int error = 0;
  bool permission() const;  // EACCES or EPERM
};

class HidrawPlatform final : public HidPlatform {
 public:
  explicit HidrawPlatform(std::unique_ptr<HidrawSystem> system);
  ~HidrawPlatform() override;

  bool enumerate(std::vector<std::string>& paths) override;
  HidHandle open(const std::string& path, OpenMode mode) override;
  void close(HidHandle handle) override;
  bool attributes(HidHandle handle, HidAttributes& out) override;
  std::optional<std::string> string(HidHandle handle, StringKind kind) override;
  bool set_num_input_buffers(HidHandle handle, uint32_t count) override;
  bool report_layout(HidHandle handle, HidReportLayout& out) override;
  bool write_report(HidHandle handle, const uint8_t* data, uint16_t length, uint32_t timeout_ms) override;
  bool read_report_nowait(HidHandle handle, uint8_t* buffer, uint16_t length) override;
  std::unique_ptr<ReadWaiter> make_read_waiter() override;
  bool set_output_report(HidHandle handle, void* buffer, uint16_t length) override;
  bool get_input_report(HidHandle handle, void* buffer, uint16_t length) override;
  bool set_feature(HidHandle handle, void* buffer, uint16_t length) override;
  bool get_feature(HidHandle handle, void* buffer, uint16_t length) override;
  void set_device_change_poster(std::function<void()> poster) override;

  // The last refused open of the node of a unit with this serial number, if
  // that is the node's last open.
  std::optional<OpenRefusal> open_refusal(const std::string& serial) const;

  // A host that wants to know which node changed takes the changes itself:
  // with a handler set, every node change goes to it (on the watching
  // thread) instead of to the library shell's poster, and the host decides
  // on its own thread whether it is a device change for the library
  // (HidLibrary::device_change_message). Set before the shell installs its
  // poster.
  void set_node_change_handler(std::function<void(const NodeChange&)> handler) { handler_ = std::move(handler); }

  // The node of an open handle (-1 without one), and whether its reports are numbered.
  struct Node {
    int fd = -1;
    bool numbered = false;
  };
  Node node(HidHandle handle) const;

 private:
  struct Entry {
    std::string path;
    int fd = -1;
    HidrawNodeInfo info;
    ParsedDescriptor parsed;
  };
  std::optional<Entry> entry(HidHandle handle) const;

  std::unique_ptr<HidrawSystem> system_;
  mutable std::mutex mutex_;
  std::map<HidHandle, Entry> entries_;
  HidHandle next_ = 1;
  std::map<std::string, OpenRefusal> refusals_;  // by path; an open that works removes it
  std::function<void(const NodeChange&)> handler_;
};

// hidraw's own reading of one report into `buffer` (`length` bytes, report ID
// first): the 0 put in front of an unnumbered report, the rest zero-filled.
// 1: a report; 0: none buffered; -1: the node failed (removed).
int read_node_report(int fd, bool numbered, uint8_t* buffer, uint16_t length);

}  // namespace hidlib
