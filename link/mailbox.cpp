#include "mailbox.h"

#include "USB.h"

namespace mx::link {

TMailbox::TMailbox(TSettingsRecord& settings, TSend send) : settings_(settings), send_(std::move(send)) {}

TMailbox::~TMailbox() {
  stop();
  std::map<uint64_t, std::thread> behind;
  {
    std::lock_guard guard(lock_);
    behind.swap(left_behind_);
  }
  for (auto& [generation, worker] : behind)
    worker.join();
}

void TMailbox::join_ended_locked() {
  // Each has marked itself under the lock as the last thing it does with it.
  for (const uint64_t generation : ended_behind_) {
    auto it = left_behind_.find(generation);
    if (it != left_behind_.end()) {
      it->second.join();
      left_behind_.erase(it);
    }
  }
  ended_behind_.clear();
}

void TMailbox::start() {
  std::lock_guard guard(lock_);
  join_ended_locked();
  if (running_ || worker_.joinable())
    return;
  stop_ = false;
  running_ = true;
  worker_ = std::thread([this, generation = generation_] { run(generation); });
}

void TMailbox::leave_worker_behind_locked() {
  const uint64_t behind = generation_++;
  if (sending_ticket_) {
    auto waiter = waiters_.find(*sending_ticket_);
    if (waiter != waiters_.end())
      waiter->second = false;
  }
  if (sending_write_)
    settings_.give_up_write(*sending_write_);
  sending_ticket_.reset();
  sending_write_.reset();
  in_send_ = false;
  sending = false;
  if (worker_.joinable())
    left_behind_.emplace(behind, std::move(worker_));
  running_ = false;
  poster_wake_.notify_all();
}

void TMailbox::stop(TClock::time_point deadline) {
  std::unique_lock lk(lock_);
  join_ended_locked();
  stop_ = true;
  if (slot_) {
    auto waiter = waiters_.find(slot_->ticket);
    if (waiter != waiters_.end())
      waiter->second = false;
  }
  worker_wake_.notify_all();
  poster_wake_.notify_all();
  if (!worker_.joinable() || worker_.get_id() == std::this_thread::get_id())
    return;
  if (!poster_wake_.wait_until(lk, deadline, [&] { return !running_; })) {
    leave_worker_behind_locked();
    return;
  }
  std::thread ended = std::move(worker_);
  lk.unlock();
  ended.join();
}

void TMailbox::replace_worker() {
  std::lock_guard guard(lock_);
  join_ended_locked();
  if (!in_send_ || !worker_.joinable())
    return;
  leave_worker_behind_locked();
  if (!stop_) {
    running_ = true;
    worker_ = std::thread([this, generation = generation_] { run(generation); });
  }
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

TMailbox::TWait TMailbox::post_and_wait(TRequest request, TClock::time_point deadline,
                                        const std::function<void()>& between) {
  std::unique_lock lk(lock_);
  if (!running_ || stop_)
    return TWait::not_sent;
  const uint64_t ticket = post_locked(std::move(request));
  auto ended = [&] { return waiters_[ticket].has_value() || !running_; };
  for (;;) {
    const auto until = between ? std::min(deadline, TClock::now() + between_every) : deadline;
    if (poster_wake_.wait_until(lk, until, ended) || TClock::now() >= deadline)
      break;
    lk.unlock();
    between();
    lk.lock();
  }
  const std::optional<bool> outcome = waiters_[ticket];
  waiters_.erase(ticket);
  if (slot_ && slot_->ticket == ticket)
    slot_.reset();  // not taken in time: it is not sent later either
  if (outcome)
    return *outcome ? TWait::sent : TWait::not_sent;
  return running_ ? TWait::timed_out : TWait::not_sent;
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

bool TMailbox::in_send() const {
  std::lock_guard guard(lock_);
  return in_send_;
}

size_t TMailbox::left_behind() const {
  std::lock_guard guard(lock_);
  return left_behind_.size() - ended_behind_.size();
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
void TMailbox::run(const uint64_t generation) {
  std::unique_lock lk(lock_);
  // False once this worker has been left behind in a send that hung: from
  // then on it touches nothing and ends as soon as the send returns.
  auto current = [&] { return generation == generation_; };
  while (!stop_ && current()) {
    kicked_ = false;
    if (auto write = settings_.take_write()) {
      in_send_ = true;
      sending_write_ = write->id;
      lk.unlock();
      const auto* bytes = reinterpret_cast<const uint8_t*>(&write->record);
      const bool ok = send_(cmd_write, std::vector<uint8_t>(bytes, bytes + sizeof write->record), write->connection);
      // Outside the lock: the record may wake the worker. A write given up
      // meanwhile is one the record no longer waits for, and changes nothing.
      settings_.write_done(*write, ok);
      lk.lock();
      if (!current())
        break;
      in_send_ = false;
      sending_write_.reset();
      result_ = ok;
      after_send_locked();
      continue;
    }
    if (slot_) {
      TTicketed next = std::move(*slot_);
      slot_.reset();
      in_send_ = true;
      sending_ticket_ = next.ticket;
      const bool read = next.request.cmd == cmd_read;
      const uint64_t read_id = read ? settings_.read_taken() : 0;
      lk.unlock();
      const bool ok = send_(next.request.cmd, next.request.payload, std::nullopt);
      if (read)
        settings_.read_done(read_id, ok);
      lk.lock();
      if (!current())
        break;
      in_send_ = false;
      sending_ticket_.reset();
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
  if (!current()) {
    ended_behind_.push_back(generation);
    return;
  }
  running_ = false;
  for (auto& [ticket, outcome] : waiters_)
    if (!outcome)
      outcome = false;
  poster_wake_.notify_all();
}

}  // namespace mx::link
