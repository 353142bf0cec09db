// The settings record: the control panel's 29-byte image of the device's
// settings, and the bookkeeping that keeps the operator's edits authoritative
// until the device has them.
//
// An edit changes the local record and asks for one write of the whole record
// in one step; a newer edit replaces a write not yet taken. A settings reply
// is copied into the record only when it can no longer undo an edit: no edit
// waits to be written, and the reply answers a request sent after the last
// write. A pending edit belongs to the unit (its key, unit_key.h) it was made on: it
// survives a reconnection of that unit and is dropped when another unit shows
// up.
//
// Which reply answers what: replies carry nothing that names their request,
// but the device answers in order. The requests sent and not yet answered are
// kept in the order they went out; a reply answers the oldest request of its
// kind, and every older request of the other kind has lost its answer (the
// device answered in order and skipped it). A reply is current when no write
// went out after its request. A request whose answer does not come within
// `answer_bound` is given up, so lost replies never pile up: a lost reply
// costs the poll it answered and nothing more.
#pragma once

#include "settings_layout.h"

#include <chrono>
#include <cstdint>
#include <deque>
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
  uint64_t id = 0;     // this write; its outcome counts only while the record still waits for it
};

// A request gets no answer within this time: it is taken as lost.
constexpr std::chrono::milliseconds answer_bound{3000};

class TSettingsRecord {
 public:
  TSettings get() const;
  // Changes the local record (main thread's edits; tests).
  void edit(const std::function<void(TSettings&)>& change);
  // An edit and its write in one step: `change` runs under the record's lock,
  // and when it gives true one write of the whole record is wanted before any
  // reply can look at the record. Gives what `change` gave.
  bool edit_and_write(const std::function<bool(TSettings&)>& change);

  // One write of the whole record is wanted, for the unit connected now.
  void schedule_write();
  // An edit waits to be written or is being written.
  bool write_pending() const;

  // The worker's side. take_write gives nothing while no write is wanted or
  // while writes are held (a new connection before its first read reply).
  std::optional<TWriteOrder> take_write();
  // An order the record no longer waits for (its connection was given up
  // meanwhile) changes nothing.
  void write_done(const TWriteOrder& order, bool reached_device);
  // The write going out hangs and its connection was given up: the edit is
  // wanted again, for whichever connection comes next.
  void give_up_write(uint64_t write);
  uint64_t read_taken();                            // a cmd_read is about to go out
  void read_done(uint64_t read, bool reached_device);  // ...and went out, or did not

  // A settings reply (cmd_read or cmd_write) that passed its checks, already
  // sanitised. True when it was copied into the record.
  bool reply(uint8_t cmd, const TSettings& received);

  // Discovery. A new connection holds writes until its first read reply;
  // `keeps_edits` false (a boot loader) drops a pending edit even of the same unit.
  // A write still going out on the old connection is forgotten: its edit is
  // wanted again if the new connection keeps it.
  void connected(uint64_t connection, const std::string& unit, bool keeps_edits);
  void disconnected();

  // Called, outside the record's lock, whenever a write becomes ready to take.
  void set_wake(std::function<void()> wake);

  bool writes_held() const;
  // The key of the unit whose values the record holds; empty before any reply.
  std::string record_unit() const;
  void reset();

 private:
  enum class TKind : uint8_t { read, write };
  struct TOutstanding {
    TKind kind;
    uint64_t id;
    std::optional<std::chrono::steady_clock::time_point> sent;  // unset while it is going out
  };
  std::function<void()> ready_wake_locked() const;
  void schedule_locked();
  void forget_requests_locked();
  // Gives false when the reply predates a write sent after its request.
  bool answer_locked(TKind kind);

  mutable std::mutex lock_;
  TSettings record_{};
  bool write_wanted_ = false;
  bool write_in_progress_ = false;
  bool held_ = false;
  bool between_connections_ = false;  // disconnected, not yet connected again
  std::string unit_;       // key (unit_key.h) of the connected unit
  std::string edit_unit_;  // the unit the pending edit was made on
  std::string record_unit_;  // the unit whose values the record holds
  uint64_t connection_ = 0;
  uint64_t epoch_ = 0;
  uint64_t next_id_ = 1;
  uint64_t write_id_ = 0;  // the write going out now (0: none)
  std::deque<TOutstanding> outstanding_;  // in the order they went out
  std::function<void()> wake_;
};

}  // namespace mx::link
