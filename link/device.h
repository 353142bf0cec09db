// The device as the link reaches it through HID_Lib.dll: the library's table,
// the open connection, the frames going out, and the identity of the unit.
//
// Every library call on the device runs under one lock, held for one call at a
// time: a frame takes it once per report, so discovery on the main thread never
// waits longer than one report's send. A frame that finds the connection changed
// between two of its reports stops there: a frame never straddles two
// connections and never goes to a device being closed.
#pragma once

#include "binding.h"

#include <atomic>
#include <cstdint>
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
  void bind(const THIDEntries& entries);
  THIDEntries entries() const;

  // One frame, cut into reports of the device's output report length.
  // `connection` set: only while that connection is the open one.
  bool send_frame(uint8_t cmd, const uint8_t* data, size_t len, std::optional<uint64_t> connection);

  // Discovery steps, each one library call under the lock.
  void close();    // the open device, if any
  uint8_t scan();
  THIDDeviceInfo info(uint8_t index);
  // Opens the device and sizes the report buffer from its output report
  // length; gives the new connection's number.
  std::optional<uint64_t> open(uint8_t index, const THIDDeviceInfo& info);
  // Stopping: a frame being sent ends before its next report.
  void stop_sending();
  bool sending_stopped() const;

  // The unit last listed by discovery (an empty identity: none).
  void set_identity(const TDeviceIdentity& identity);
  TDeviceIdentity identity() const;

  // Test seam: a table bound as if a device were open, without discovery.
  void bind_open(const THIDEntries& entries, size_t output_report_len, bool open);
  size_t output_report_len() const;
  void reset();

 private:
  mutable std::mutex lock_;
  THIDEntries entries_;
  size_t out_report_len_ = 65;
  uint64_t connection_ = 0;
  std::atomic<bool> stopped_{false};  // not under the lock: asked for while a report is out
  TDeviceIdentity identity_;
};

}  // namespace mx::link
