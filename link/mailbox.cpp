#include "mailbox.h"

#include "USB.h"

namespace mx::link {

TMailbox::TMailbox(TSettingsRecord& settings, TSend send) : settings_(settings), send_(std::move(send)) {}

TMailbox::~TMailbox() { stop(); }

void TMailbox::start() {
  std::lock_guard guard(lock_);
  if (running_ || worker_.joinable())
    return;
  stop_ = false;
  running_ = true;
  worker_ = std::thread([this] { run(); });
}

void TMailbox::stop() {
  {
    std::lock_guard guard(lock_);
    stop_ = true;
    if (slot_) {
      auto waiter = waiters_.find(slot_->ticket);
      if (waiter != waiters_.end())
        waiter->second = false;
    }
    worker_wake_.notify_all();
    poster_wake_.notify_all();
  }
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id())
    worker_.join();
}

uint64_t TMailbox::post_locked(TRequest request) {
  if (slot_) {
    auto waiter = waiters_.find(slot_->ticket);
    if (waiter != waiters_.end())
      waiter->second = false;
  }
  slot_ = TTicketed{std::move(request), next_ticket_++};
  send_pending = true;
  worker_wake_.notify_all();
  poster_wake_.notify_all();
  return slot_->ticket;
}

void TMailbox::post(TRequest request) {
  std::lock_guard guard(lock_);
  post_locked(std::move(request));
}

bool TMailbox::post_and_wait(TRequest request) {
  std::unique_lock lk(lock_);
  if (!running_ || stop_)
    return false;
  const uint64_t ticket = post_locked(std::move(request));
  auto& outcome = waiters_[ticket];
  poster_wake_.wait(lk, [&] { return outcome.has_value() || !running_; });
  const bool result = outcome.value_or(false);
  waiters_.erase(ticket);
  return result;
}

void TMailbox::wake() {
  std::lock_guard guard(lock_);
  kicked_ = true;
  send_pending = true;
  worker_wake_.notify_all();
}

bool TMailbox::idle() const {
  std::lock_guard guard(lock_);
  return waiting_ && !kicked_ && !slot_;
}

bool TMailbox::last_result() const {
  std::lock_guard guard(lock_);
  return result_;
}

void TMailbox::clear() {
  std::lock_guard guard(lock_);
  slot_.reset();
  waiters_.clear();
  next_ticket_ = 1;
  result_ = kicked_ = stop_ = false;
}

void TMailbox::after_send_locked() {
  send_pending = slot_.has_value() || settings_.write_pending();
  poster_wake_.notify_all();
}

// Tthr. It sleeps on a condition variable between requests, so an idle link
// costs no processor time, and it runs at normal priority: a worker that waits
// instead of spinning needs no lower one, and one at the lowest priority
// starves on a machine whose cores are busy.
void TMailbox::run() {
  std::unique_lock lk(lock_);
  while (!stop_) {
    kicked_ = false;
    if (auto write = settings_.take_write()) {
      lk.unlock();
      const auto* bytes = reinterpret_cast<const uint8_t*>(&write->record);
      const bool ok = send_(cmd_write, std::vector<uint8_t>(bytes, bytes + sizeof write->record), write->connection);
      settings_.write_done(*write, ok);
      lk.lock();
      result_ = ok;
      after_send_locked();
      continue;
    }
    if (slot_) {
      TTicketed next = std::move(*slot_);
      slot_.reset();
      lk.unlock();
      if (next.request.cmd == cmd_read)
        settings_.read_taken();
      const bool ok = send_(next.request.cmd, next.request.payload, std::nullopt);
      if (next.request.cmd == cmd_read && !ok)
        settings_.read_failed();
      lk.lock();
      result_ = ok;
      auto waiter = waiters_.find(next.ticket);
      if (waiter != waiters_.end())
        waiter->second = ok;
      after_send_locked();
      continue;
    }
    send_pending = settings_.write_pending();
    waiting_ = true;
    worker_wake_.wait(lk, [&] { return stop_ || kicked_ || slot_.has_value(); });
    waiting_ = false;
  }
  running_ = false;
  for (auto& [ticket, outcome] : waiters_)
    if (!outcome)
      outcome = false;
  poster_wake_.notify_all();
}

}  // namespace mx::link
