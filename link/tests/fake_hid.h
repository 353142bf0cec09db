// An in-process stand-in for HID_Lib.dll: a table of devices the tests describe,
// the seven calls the link makes, and a record of every output report and of
// the frames they carry.
#pragma once

#include "USB.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct TFakeDevice {
  std::string manufacturer = "VORNIX";
  std::string product = "MX-540KTR";
  std::string serial = "0001";
  std::string path;  // empty: "\\?\hid#fake#<index>"
  uint16_t version = 0x0203;
  uint16_t output_len = 65;
  bool opens = true;
};

class TFakeHid {
 public:
  static TFakeHid& get();

  // Back to no devices, no handlers, nothing recorded.
  void reset();
  void set_devices(std::vector<TFakeDevice> devices);

  THIDEntries entries() const;
  // The entry the library exports by `name`, as a loader resolves it; null for
  // the exports the link never calls.
  void* entry(const char* name) const;

  // What the link did.
  std::vector<std::string> calls();            // "scan", "info 0", "open 0", "close"
  std::vector<TFrame> frames();                // whole frames received, in order
  std::vector<std::vector<uint8_t>> reports(); // every output report, output_len bytes each
  size_t frame_count();
  void clear_records();
  int current();                               // open device index or -1
  int reports_without_device();                // HIDSetOutputReport calls with no device open
  bool wait_frames(size_t n, int timeout_ms = 5000);
  // Every output report that reached the device while its n-th successful open
  // (counted from 1) was the open one, judged when the call came in: the
  // library holds on to the handle a call started on.
  std::vector<std::vector<uint8_t>> reports_on(int open);
  int opens();

  // Outcome of each HIDSetOutputReport call (default: 1 while a device is open).
  void set_outcome(std::function<uint8_t(const uint8_t* report)> outcome);
  // Runs on the sending thread for every completed frame (replies, checks).
  void set_on_frame(std::function<void(const TFrame&)> on_frame);
  // Runs at the start of each scan, on the scanning thread, outside the fake's lock.
  void set_on_scan(std::function<void()> on_scan);
  // While closed, HIDSetOutputReport blocks: lets a test hold a send half-way.
  // `one_call`: only the first call to reach the closed gate waits there (a
  // unit that hangs on one report); later ones pass. `after`: that many calls
  // pass before the gate is reached.
  void set_gate(bool open, bool one_call = false, int after = 0);
  bool wait_blocked(int timeout_ms = 5000);     // a send is waiting at the closed gate

  THIDReportHandler report_handler();
  TUSBEventHandler usb_handler();

  // Library side of the calls.
  uint8_t scan();
  void info(uint8_t index, THIDDeviceInfo* out);
  uint8_t open(uint8_t index);
  uint8_t close();
  uint8_t set_output_report(void* buffer);
  void set_report_handler(THIDReportHandler handler);
  void set_usb_handler(TUSBEventHandler handler);

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<TFakeDevice> devices_;
  std::vector<TFakeDevice> scanned_;
  int current_ = -1;
  int orphans_ = 0;
  std::vector<std::string> calls_;
  std::vector<std::vector<uint8_t>> reports_;
  std::vector<TFrame> frames_;
  TFrameAssembler assembler_{TMarkKind::total};
  std::function<uint8_t(const uint8_t*)> outcome_;
  std::function<void(const TFrame&)> on_frame_;
  std::function<void()> on_scan_;
  bool gate_open_ = true;
  bool gate_one_call_ = false;
  bool gate_taken_ = false;
  int gate_after_ = 0;
  bool blocked_ = false;
  int opens_ = 0;
  std::vector<int> report_opens_;
  THIDReportHandler report_handler_ = nullptr;
  TUSBEventHandler usb_handler_ = nullptr;
};

// The test thread plays the main thread: what the link posts to it (LinkHost::
// run_on_main) waits here until the test runs it.
class TMainQueue {
 public:
  std::function<void(std::function<void()>)> poster();
  int run();  // runs what has been posted so far; gives how many ran
  // Waits until something is posted (or the timeout passes), then runs it.
  int wait_and_run(int timeout_ms = 5000);
  void clear();

 private:
  std::mutex lock_;
  std::condition_variable posted_;
  std::vector<std::function<void()>> routines_;
};
TMainQueue& main_queue();

// Tests every millisecond until `done` holds or `limit` passes.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));

// Device-to-host reports of a reply frame (offset, end mark).
std::vector<THIDReport> reply_reports(uint8_t cmd, const std::vector<uint8_t>& payload);
// Hands a reply to on_report as the library's read thread would.
void deliver_reply(uint8_t cmd, const std::vector<uint8_t>& payload);
std::vector<uint8_t> settings_bytes(const TSettings& s);
