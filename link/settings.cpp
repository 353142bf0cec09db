#include "settings.h"

#include "frame.h"

#include <algorithm>

namespace mx::link {

TSettings TSettingsRecord::get() const {
  std::lock_guard guard(lock_);
  return record_;
}

void TSettingsRecord::edit(const std::function<void(TSettings&)>& change) {
  std::lock_guard guard(lock_);
  change(record_);
}

std::function<void()> TSettingsRecord::ready_wake_locked() const {
  return write_wanted_ && !held_ ? wake_ : nullptr;
}

void TSettingsRecord::schedule_write() {
  std::function<void()> wake;
  {
    std::lock_guard guard(lock_);
    write_wanted_ = true;
    edit_unit_ = unit_;
    wake = ready_wake_locked();
  }
  if (wake)
    wake();
}

bool TSettingsRecord::write_pending() const {
  std::lock_guard guard(lock_);
  return write_wanted_ || write_in_progress_;
}

std::optional<TWriteOrder> TSettingsRecord::take_write() {
  std::lock_guard guard(lock_);
  if (!write_wanted_ || held_ || write_in_progress_)
    return std::nullopt;
  write_wanted_ = false;
  write_in_progress_ = true;
  ++writes_in_flight_;
  return TWriteOrder{record_, connection_, epoch_};
}

void TSettingsRecord::write_done(const TWriteOrder& order, bool reached_device) {
  std::function<void()> wake;
  {
    std::lock_guard guard(lock_);
    write_in_progress_ = false;
    if (reached_device) {
      // Every read still unanswered was sent before this write: its reply shows
      // the device as it was before.
      stale_reads_ = reads_in_flight_;
    } else {
      if (writes_in_flight_)
        --writes_in_flight_;
      // Not written: the edit is still wanted (unless it was dropped meanwhile),
      // and goes out again after the connection's next read reply rather than
      // in a tight loop against a device that refuses it.
      if (order.epoch == epoch_)
        write_wanted_ = true;
      held_ = true;
    }
    wake = ready_wake_locked();
  }
  if (wake)
    wake();
}

void TSettingsRecord::read_taken() {
  std::lock_guard guard(lock_);
  ++reads_in_flight_;
}

void TSettingsRecord::read_failed() {
  std::lock_guard guard(lock_);
  if (reads_in_flight_)
    --reads_in_flight_;
  stale_reads_ = std::min(stale_reads_, reads_in_flight_);
}

bool TSettingsRecord::reply(uint8_t cmd, const TSettings& received) {
  bool copied = false;
  std::function<void()> wake;
  {
    std::lock_guard guard(lock_);
    bool current = true;
    if (cmd == cmd_read) {
      if (reads_in_flight_) {
        --reads_in_flight_;
        if (stale_reads_) {
          --stale_reads_;
          current = false;
        }
      }
      // The connection's first read reply: the device has been heard, writes may go.
      held_ = false;
      if (record_unit_ != unit_) {
        // The record still holds zeros or another unit's values: an edit made
        // on them would write those over this unit's settings.
        write_wanted_ = false;
      }
    } else if (writes_in_flight_) {
      // A write's answer shows the device after that write; only the last one
      // in flight is up to date.
      --writes_in_flight_;
      current = writes_in_flight_ == 0;
    }
    if (current && !write_wanted_ && !write_in_progress_) {
      record_ = received;
      record_unit_ = unit_;
      copied = true;
    }
    wake = ready_wake_locked();
  }
  if (wake)
    wake();
  return copied;
}

void TSettingsRecord::connected(uint64_t connection, const std::string& serial, bool keeps_edits) {
  std::lock_guard guard(lock_);
  connection_ = connection;
  if (!keeps_edits || edit_unit_ != serial) {
    // An edit is never written to a unit other than the one it was made on.
    if (write_wanted_ || write_in_progress_)
      ++epoch_;
    write_wanted_ = false;
  }
  unit_ = serial;
  held_ = true;
  reads_in_flight_ = stale_reads_ = writes_in_flight_ = 0;
}

void TSettingsRecord::disconnected() {
  std::lock_guard guard(lock_);
  unit_.clear();
  held_ = true;
  reads_in_flight_ = stale_reads_ = writes_in_flight_ = 0;
}

void TSettingsRecord::set_wake(std::function<void()> wake) {
  std::lock_guard guard(lock_);
  wake_ = std::move(wake);
}

bool TSettingsRecord::writes_held() const {
  std::lock_guard guard(lock_);
  return held_;
}

void TSettingsRecord::reset() {
  std::lock_guard guard(lock_);
  record_ = {};
  write_wanted_ = write_in_progress_ = held_ = false;
  unit_.clear();
  edit_unit_.clear();
  record_unit_.clear();
  connection_ = epoch_ = 0;
  reads_in_flight_ = stale_reads_ = writes_in_flight_ = 0;
}

}  // namespace mx::link
