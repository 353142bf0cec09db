#include "settings.h"

#include "frame.h"

#include <algorithm>

namespace mx::link {

namespace {
// More requests than this never wait for answers at once; the oldest goes.
constexpr size_t max_outstanding = 64;
}  // namespace

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

void TSettingsRecord::schedule_locked() {
  write_wanted_ = true;
  edit_unit_ = unit_;
}

bool TSettingsRecord::edit_and_write(const std::function<bool(TSettings&)>& change) {
  std::function<void()> wake;
  bool changed = false;
  {
    std::lock_guard guard(lock_);
    changed = change(record_);
    if (changed) {
      schedule_locked();
      wake = ready_wake_locked();
    }
  }
  if (wake)
    wake();
  return changed;
}

void TSettingsRecord::schedule_write() {
  std::function<void()> wake;
  {
    std::lock_guard guard(lock_);
    schedule_locked();
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
  write_id_ = next_id_++;
  if (outstanding_.size() >= max_outstanding)
    outstanding_.pop_front();
  outstanding_.push_back({TKind::write, write_id_, std::nullopt});
  return TWriteOrder{record_, connection_, epoch_, write_id_};
}

void TSettingsRecord::write_done(const TWriteOrder& order, bool reached_device) {
  std::function<void()> wake;
  {
    std::lock_guard guard(lock_);
    if (!write_in_progress_ || order.id != write_id_)
      return;  // given up with its connection
    write_in_progress_ = false;
    write_id_ = 0;
    const auto it = std::find_if(outstanding_.begin(), outstanding_.end(),
                                 [&](const TOutstanding& o) { return o.id == order.id; });
    if (reached_device) {
      if (it != outstanding_.end())
        it->sent = std::chrono::steady_clock::now();
    } else {
      if (it != outstanding_.end())
        outstanding_.erase(it);
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

void TSettingsRecord::give_up_write(uint64_t write) {
  std::lock_guard guard(lock_);
  if (!write_in_progress_ || write_id_ != write)
    return;
  std::erase_if(outstanding_, [&](const TOutstanding& o) { return o.id == write; });
  write_in_progress_ = false;
  write_id_ = 0;
  write_wanted_ = true;
  held_ = true;  // until the next connection's first read reply
}

uint64_t TSettingsRecord::read_taken() {
  std::lock_guard guard(lock_);
  const uint64_t id = next_id_++;
  if (outstanding_.size() >= max_outstanding)
    outstanding_.pop_front();
  outstanding_.push_back({TKind::read, id, std::nullopt});
  return id;
}

void TSettingsRecord::read_done(uint64_t read, bool reached_device) {
  std::lock_guard guard(lock_);
  const auto it =
      std::find_if(outstanding_.begin(), outstanding_.end(), [&](const TOutstanding& o) { return o.id == read; });
  if (it == outstanding_.end())
    return;
  if (reached_device)
    it->sent = std::chrono::steady_clock::now();
  else
    outstanding_.erase(it);
}

bool TSettingsRecord::answer_locked(TKind kind) {
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(outstanding_, [&](const TOutstanding& o) { return o.sent && now - *o.sent > answer_bound; });
  const auto it =
      std::find_if(outstanding_.begin(), outstanding_.end(), [&](const TOutstanding& o) { return o.kind == kind; });
  // Everything sent before the request this reply answers was answered before
  // it, or never will be.
  if (it != outstanding_.end())
    outstanding_.erase(outstanding_.begin(), it + 1);
  return std::none_of(outstanding_.begin(), outstanding_.end(),
                      [](const TOutstanding& o) { return o.kind == TKind::write; });
}

bool TSettingsRecord::reply(uint8_t cmd, const TSettings& received) {
  bool copied = false;
  std::function<void()> wake;
  {
    std::lock_guard guard(lock_);
    // Between two connections a reply belongs to no unit: it answers a
    // connection already closed, and copied it would make the record look
    // like another unit's (which drops the next connection's pending edit).
    if (between_connections_)
      return false;
    const bool current = answer_locked(cmd == cmd_read ? TKind::read : TKind::write);
    if (cmd == cmd_read) {
      // The connection's first read reply: the device has been heard, writes may go.
      held_ = false;
      if (record_unit_ != unit_) {
        // The record still holds zeros or another unit's values: an edit made
        // on them would write those over this unit's settings.
        write_wanted_ = false;
      }
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

void TSettingsRecord::forget_requests_locked() {
  outstanding_.clear();
  if (write_in_progress_) {
    // A write still going out on the connection given up: its outcome no
    // longer counts, and the edit it carried is still to be written.
    write_in_progress_ = false;
    write_id_ = 0;
    write_wanted_ = true;
  }
}

void TSettingsRecord::connected(uint64_t connection, const std::string& unit, bool keeps_edits) {
  std::lock_guard guard(lock_);
  connection_ = connection;
  forget_requests_locked();
  if (!keeps_edits || edit_unit_ != unit) {
    // An edit is never written to a unit other than the one it was made on.
    if (write_wanted_)
      ++epoch_;
    write_wanted_ = false;
  }
  unit_ = unit;
  held_ = true;
  between_connections_ = false;
}

void TSettingsRecord::disconnected() {
  std::lock_guard guard(lock_);
  forget_requests_locked();
  unit_.clear();
  held_ = true;
  between_connections_ = true;
}

void TSettingsRecord::set_wake(std::function<void()> wake) {
  std::lock_guard guard(lock_);
  wake_ = std::move(wake);
}

bool TSettingsRecord::writes_held() const {
  std::lock_guard guard(lock_);
  return held_;
}

std::string TSettingsRecord::record_unit() const {
  std::lock_guard guard(lock_);
  return record_unit_;
}

void TSettingsRecord::reset() {
  std::lock_guard guard(lock_);
  record_ = {};
  write_wanted_ = write_in_progress_ = held_ = between_connections_ = false;
  unit_.clear();
  edit_unit_.clear();
  record_unit_.clear();
  connection_ = epoch_ = write_id_ = 0;
  next_id_ = 1;
  outstanding_.clear();
}

}  // namespace mx::link
