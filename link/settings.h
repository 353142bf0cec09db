// The settings record: the control panel's 29-byte image of the device's
// settings, and the bookkeeping that keeps the operator's edits authoritative
// until the device has them.
//
// An edit changes the local record and asks for one write of the whole record;
// a newer edit replaces a write not yet taken. A settings reply is copied into
// the record only when it can no longer undo an edit: no edit waits to be
// written, and the reply answers a request sent after the last write reached
// the device. A pending edit belongs to the unit (serial number) it was made
// on: it survives a reconnection of that unit and is dropped when another unit
// shows up.
#pragma once

#include "settings_layout.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace mx::link {

// A write as the worker takes it: the record as it is at that moment, and the
// connection it is meant for.
struct TWriteOrder {
  TSettings record;
  uint64_t connection = 0;
  uint64_t epoch = 0;  // which pending edit this is; a dropped edit never comes back
};

class TSettingsRecord {
 public:
  TSettings get() const;
  // Changes the local record (main thread's edits; tests).
  void edit(const std::function<void(TSettings&)>& change);

  // One write of the whole record is wanted, for the unit connected now.
  void schedule_write();
  // An edit waits to be written or is being written.
  bool write_pending() const;

  // The worker's side. take_write gives nothing while no write is wanted or
  // while writes are held (a new connection before its first read reply).
  std::optional<TWriteOrder> take_write();
  void write_done(const TWriteOrder& order, bool reached_device);
  void read_taken();   // a cmd_read is about to go out
  void read_failed();  // ...and did not reach the device

  // A settings reply (cmd_read or cmd_write) that passed its checks, already
  // sanitised. True when it was copied into the record.
  bool reply(uint8_t cmd, const TSettings& received);

  // Discovery. A new connection holds writes until its first read reply;
  // `keeps_edits` false (a boot loader) drops a pending edit even of the same unit.
  void connected(uint64_t connection, const std::string& serial, bool keeps_edits);
  void disconnected();

  // Called, outside the record's lock, whenever a write becomes ready to take.
  void set_wake(std::function<void()> wake);

  bool writes_held() const;
  void reset();

 private:
  std::function<void()> ready_wake_locked() const;

  mutable std::mutex lock_;
  TSettings record_{};
  bool write_wanted_ = false;
  bool write_in_progress_ = false;
  bool held_ = false;
  std::string unit_;       // serial number of the connected unit
  std::string edit_unit_;  // the unit the pending edit was made on
  std::string record_unit_;  // the unit whose values the record holds
  uint64_t connection_ = 0;
  uint64_t epoch_ = 0;
  // Replies are matched to nothing, but the device answers in order: counting
  // what is in flight tells which replies were asked before the last write.
  unsigned reads_in_flight_ = 0;
  unsigned stale_reads_ = 0;
  unsigned writes_in_flight_ = 0;
  std::function<void()> wake_;
};

}  // namespace mx::link
