// Virtual HID devices living in the process, behind the library's platform seam.
//
// A SimDevice is one HID interface: its identity and report layout (a
// SimDeviceConfig) and, for a device model, the hooks through which it sees what
// the host sends and answers with input reports. SimPlatform is the bus: it
// lists the plugged devices in plug order, hands out handles, keeps each open
// handle's input buffer (64 reports, the oldest dropped when full, as the HID
// driver does) and posts device-change notifications on plug and unplug.
//
// Threads: the hooks run on the thread of the library call that caused them
// (the host's thread for writes and control-path calls), with no library or
// platform lock held, so a hook may call queue_input_report, plug, unplug or
// update_config. queue_input_report may be called from any thread.
//
// A read kept pending (the read thread's ReadWaiter) takes the next report
// that arrives on its handle before the buffer does, oldest pending read
// first, as the HID driver completes its queued reads. Unplugging the device
// or closing the handle ends the pending reads without a report.
//
// After unplug the handles open on the device are dead, as on a removed
// device: reads find nothing, ordinary writes wait out their timeout and
// fail, control-path calls fail. Plugging the same device again revives
// nothing; the host must open it again.
#pragma once

#include "HidPlatform.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace hidlib {

enum class SimAccess : uint8_t {
  ReadWrite,  // opens for reading and writing
  QueryOnly,  // opens only with access 0 (as keyboards and mice do)
  None,       // cannot be opened at all
};

enum class OutputPath : uint8_t {
  Write,    // ordinary write path (HIDwriteDevice)
  Control,  // set-report on the control pipe (HIDSetOutputReport)
};

struct SimDeviceConfig {
  std::string path;
  uint16_t vendor_id = 0;
  uint16_t product_id = 0;
  uint16_t version = 0;
  // Already in the 8-bit code page; nullopt when the device gives none.
  std::optional<std::string> manufacturer;
  std::optional<std::string> product;
  std::optional<std::string> serial;
  SimAccess access = SimAccess::ReadWrite;
  bool attributes_readable = true;
  bool has_preparsed_data = true;
  uint16_t input_length = 0;
  uint16_t output_length = 0;
  uint16_t feature_length = 0;
  std::vector<HidValueCap> input_values;
  std::vector<HidValueCap> output_values;
  std::vector<HidValueCap> feature_values;
  // A forced query status per report type (indexed by ReportType); unset means
  // the parser's own answer: success, buffer too small past 10, usage not found
  // when there are none.
  std::optional<uint32_t> forced_status[3];
};

class SimPlatform;
struct SimPendingRead;

class SimDevice : public std::enable_shared_from_this<SimDevice> {
 public:
  explicit SimDevice(SimDeviceConfig config);
  virtual ~SimDevice();

  SimDeviceConfig config() const;
  // Changes the identity or layout (for example a product string that differs
  // after re-enumeration); takes effect for the next probe.
  void update_config(const std::function<void(SimDeviceConfig&)>& edit);

  // Puts one input report (report ID first) into the buffer of every live
  // handle open on the device. Reports longer than the input report length are
  // cut, shorter ones padded with zeros.
  void queue_input_report(const uint8_t* data, size_t length);
  void queue_input_report(const std::vector<uint8_t>& report) {
    queue_input_report(report.data(), report.size());
  }

  // Number of live handles open on the device.
  size_t open_handles() const;

  // Hooks for a device model. The defaults record output reports (see
  // output_reports()) and accept them; they fail the three other control calls.
  // Return false to make the transfer fail (an ordinary write then waits out
  // its timeout, as a stalled device does).
  virtual bool on_output_report(const uint8_t* data, size_t length, OutputPath path);
  // A handle was opened on the device (probes included), after the fact.
  virtual void on_open(OpenMode) {}
  // A handle on the device was closed (probes included), after the fact.
  virtual void on_close() {}
  virtual bool on_get_input_report(uint8_t* buffer, size_t length) { return false; }
  virtual bool on_set_feature(const uint8_t* data, size_t length) { return false; }
  virtual bool on_get_feature(uint8_t* buffer, size_t length) { return false; }

  // What the default on_output_report recorded.
  struct SentReport {
    std::vector<uint8_t> bytes;
    OutputPath path;
  };
  std::vector<SentReport> output_reports() const;

 private:
  friend class SimPlatform;
  struct HandleState {
    std::deque<std::vector<uint8_t>> reports;
    std::deque<std::shared_ptr<SimPendingRead>> pending;
    bool live = true;
  };
  // Ends the handle's pending reads without a report (under mutex_).
  static void fail_pending(HandleState& state);

  mutable std::mutex mutex_;
  SimDeviceConfig config_;
  std::map<HidHandle, HandleState> handles_;
  std::vector<SentReport> sent_;
};

class SimPlatform : public HidPlatform {
 public:
  SimPlatform();
  ~SimPlatform() override;

  // Appends the device to the bus (it is listed after those already present)
  // and posts notifications_per_change() device-change notifications.
  void plug(std::shared_ptr<SimDevice> device);
  // Removes it: its open handles die, notifications are posted as for plug.
  void unplug(const std::shared_ptr<SimDevice>& device);
  std::vector<std::shared_ptr<SimDevice>> plugged() const;

  // Windows sends several WM_DEVICECHANGE broadcasts for one plug; default 1.
  void set_notifications_per_change(int count) { per_change_ = count; }
  int notifications_per_change() const { return per_change_; }
  // When false, enumerate() fails as if the platform had no device list.
  void set_enumeration_available(bool available) { enumeration_available_ = available; }

  // How many handles are open on the platform (live or dead), and how many
  // opens and ordinary reads it has been asked for, for tests.
  size_t open_handle_count() const;
  uint64_t open_calls() const { return open_calls_; }
  uint64_t read_calls() const { return read_calls_; }
  // Every count of input buffers asked for, with the handle it was asked on.
  std::vector<std::pair<HidHandle, uint32_t>> input_buffer_requests() const;
  // Reads held pending on any handle right now.
  size_t pending_reads() const;
  // Runs on the reading thread each time a pending read has taken a report,
  // before the read thread sees it; for tests that act at that moment.
  void set_report_taken_hook(std::function<void()> hook);
  // Calls that named a handle the platform never gave out or had closed: a
  // library that uses a handle after closing it shows up here.
  uint64_t stale_handle_uses() const { return stale_uses_; }

  // HidPlatform
  bool enumerate(std::vector<std::string>& paths) override;
  HidHandle open(const std::string& path, OpenMode mode) override;
  void close(HidHandle handle) override;
  bool attributes(HidHandle handle, HidAttributes& out) override;
  std::optional<std::string> string(HidHandle handle, StringKind kind) override;
  bool set_num_input_buffers(HidHandle handle, uint32_t count) override;
  bool report_layout(HidHandle handle, HidReportLayout& out) override;
  bool write_report(HidHandle handle, const uint8_t* data, uint16_t length,
                    uint32_t timeout_ms) override;
  bool read_report_nowait(HidHandle handle, uint8_t* buffer, uint16_t length) override;
  std::unique_ptr<ReadWaiter> make_read_waiter() override;
  bool set_output_report(HidHandle handle, void* buffer, uint16_t length) override;
  bool get_input_report(HidHandle handle, void* buffer, uint16_t length) override;
  bool set_feature(HidHandle handle, void* buffer, uint16_t length) override;
  bool get_feature(HidHandle handle, void* buffer, uint16_t length) override;
  void set_device_change_poster(std::function<void()> poster) override;

 private:
  class Waiter;
  std::shared_ptr<SimDevice> device_of(HidHandle handle, bool* live) const;
  void post_changes();
  std::function<void()> report_taken_hook() const;
  // A waiter's read: taken from the buffer at once or held pending on the
  // handle. False for a dead or unknown handle.
  bool begin_read(HidHandle handle, const std::shared_ptr<SimPendingRead>& read);
  void withdraw_read(HidHandle handle, const std::shared_ptr<SimPendingRead>& read);

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<SimDevice>> bus_;
  std::map<HidHandle, std::shared_ptr<SimDevice>> handles_;
  HidHandle next_handle_ = 0x100;
  std::function<void()> poster_;
  std::function<void()> report_taken_hook_;
  std::vector<std::pair<HidHandle, uint32_t>> input_buffer_requests_;
  std::atomic<int> per_change_{1};
  std::atomic<bool> enumeration_available_{true};
  std::atomic<uint64_t> open_calls_{0};
  std::atomic<uint64_t> read_calls_{0};
  mutable std::atomic<uint64_t> stale_uses_{0};
};

}  // namespace hidlib
