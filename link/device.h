// The device as the link reaches it through HID_Lib.dll: the library's table,
// the open connection, the frames going out, and the identity of the unit.
//
// Discovery's library calls run under one lock. Frames and their report
// calls are made outside it, announced under it: closing the device lets the
// frame going out end first (a device change, also one of another unit, then
// costs no frame: an update's block is never cut by a rescan), and no frame
// goes on after a close. A unit may hang a report call for as long as it
// likes (HidD_SetOutputReport has no time limit): after `call_wait` the close
// gives up that frame's connection, closes the device anyway and, when a
// report call hangs, lets the link replace its worker. The call left hanging holds the library's own
// reference to the handle it started on (the library closes a handle only
// once no transfer uses it), so it never reaches a device opened later, and
// its frame never sends another report. A frame that finds the connection
// changed between two of its reports stops there: a frame never straddles two
// connections.
#pragma once

#include "binding.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mx::link {

// Who the link is talking to, as the windows show it.
struct TDeviceIdentity {
  std::string product;  // "MX-540KTR", or "MX-540KTR (boot)" in the boot loader
  std::string serial;
  std::string version;  // "1.16"
  bool boot = false;    // the product names the boot loader
  std::string path;     // the device path; a unit without a serial is known by it (unit_key.h)
  bool operator==(const TDeviceIdentity&) const = default;
};

class TDevice {
 public:
  using TClock = std::chrono::steady_clock;
  // How long a close waits for the frame going out before it gives up that
  // frame's connection.
  static constexpr std::chrono::milliseconds call_wait{500};
  // ...and at the program's end, where nothing is opened after the close.
  static constexpr std::chrono::milliseconds stop_wait{250};

  void bind(const THIDEntries& entries);
  // Called, outside the lock, when a close gave up a report call that hung.
  void set_on_give_up(std::function<void()> on_give_up);
  THIDEntries entries() const;

  // One frame, cut into reports of the device's output report length.
  // `connection` set: only while that connection is the open one.
  bool send_frame(uint8_t cmd, const uint8_t* data, size_t len, std::optional<uint64_t> connection);

  // Discovery steps, each one library call under the lock.
  // The open device, if any; a report call still in progress at `give_up_at`
  // is given up (see above).
  void close(TClock::time_point give_up_at);
  void close() { close(TClock::now() + call_wait); }
  uint8_t scan();
  THIDDeviceInfo info(uint8_t index);
  // Opens the device and sizes the report buffer from its output report
  // length; gives the new connection's number.
  std::optional<uint64_t> open(uint8_t index, const THIDDeviceInfo& info);
  // Stopping: a frame being sent ends before its next report.
  void stop_sending();
  bool sending_stopped() const;
  bool closing() const;  // a close waits for the frame going out

  // The unit last listed by discovery (an empty identity: none).
  void set_identity(const TDeviceIdentity& identity);
  TDeviceIdentity identity() const;

  // Test seam: a table bound as if a device were open, without discovery;
  // waits for a report call in progress.
  void bind_open(const THIDEntries& entries, size_t output_report_len, bool open);
  size_t output_report_len() const;
  void reset();

 private:
  mutable std::mutex lock_;
  std::condition_variable call_ended_;
  std::optional<uint64_t> call_;   // the report call in progress, by number
  std::optional<uint64_t> frame_;  // the frame going out, by number
  uint64_t next_call_ = 1;
  bool closing_ = false;
  std::function<void()> on_give_up_;
  THIDEntries entries_;
  size_t out_report_len_ = 65;
  uint64_t connection_ = 0;
  std::atomic<bool> stopped_{false};  // not under the lock: asked for while a report is out
  TDeviceIdentity identity_;
};

}  // namespace mx::link
