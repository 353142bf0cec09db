// The request mailbox and the link worker (Tthr).
//
// Windows never send: they post a request and the worker sends it. The slot
// holds one request; a newer post replaces one the worker has not taken, and a
// poster waiting for that one learns that it was not sent. The settings record
// has a write queue of its own beside the slot (an edit is never replaced by a
// poll), which the worker serves first.
//
// The worker never waits for the main thread, so a poster that waits on the
// main thread waits at most for the frame being sent and its own, and never
// longer than its own deadline. A unit can hang a report call inside the
// library for as long as it likes: the worker caught in it is then left
// behind (stop, replace_worker) and never touches the mailbox or the settings
// record again, and a fresh worker takes over.
#pragma once

#include "settings.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace mx::link {

struct TRequest {
  uint8_t cmd = 0;
  std::vector<uint8_t> payload;
};

class TMailbox {
 public:
  using TClock = std::chrono::steady_clock;
  // Sends one frame; `connection` set: only to that connection. True when the
  // frame's last report reached the device.
  using TSend = std::function<bool(uint8_t cmd, const std::vector<uint8_t>& payload,
                                   std::optional<uint64_t> connection)>;

  TMailbox(TSettingsRecord& settings, TSend send);
  // Joins every worker, also those left behind in a send that hung (the
  // process-wide link is never destroyed; tests let their sends end first).
  ~TMailbox();
  TMailbox(const TMailbox&) = delete;
  TMailbox& operator=(const TMailbox&) = delete;

  void start();  // once; again only after stop()
  // Asks the worker to stop and ends every waiting poster with false; a
  // request still waiting is not sent. Waits for the worker until `deadline`
  // (it ends at the frame's next report); one still inside a report call then
  // is left behind.
  void stop(TClock::time_point deadline = TClock::time_point::max());
  // The send going on hangs and its connection has been given up: the worker
  // inside it is left behind, its poster told false, and (unless stopping) a
  // fresh worker takes the next request. Nothing happens between sends.
  void replace_worker();

  void post(TRequest request);  // returns at once
  enum class TWait : uint8_t {
    sent,       // the frame's last report reached the device
    not_sent,   // refused, replaced by a newer post, or the link stopped
    timed_out,  // not sent by the deadline (it will not be sent later)
  };
  // `between`, when given, runs on the poster's thread every `between_every`
  // while it waits (the update dialog keeps its progress bar painted).
  TWait post_and_wait(TRequest request, TClock::time_point deadline = TClock::time_point::max(),
                      const std::function<void()>& between = {});
  static constexpr std::chrono::milliseconds between_every{50};
  void wake();  // the settings record has a write ready

  bool last_result() const;
  bool idle() const;  // the worker waits with nothing it could take
  bool in_send() const;  // the worker is in a send
  size_t left_behind() const;  // workers left in a send that hung and not yet ended
  void clear();  // stopped mailbox back to its start state

 private:
  struct TTicketed {
    TRequest request;
    uint64_t ticket = 0;
  };
  void run(uint64_t generation);
  uint64_t post_locked(TRequest request);
  void after_send_locked();
  void leave_worker_behind_locked();
  void join_ended_locked();  // left-behind workers that have returned

  TSettingsRecord& settings_;
  TSend send_;
  mutable std::mutex lock_;
  std::condition_variable worker_wake_;  // posts, ready writes, stop
  std::condition_variable poster_wake_;  // finished sends, worker exit
  std::optional<TTicketed> slot_;
  uint64_t next_ticket_ = 1;
  std::map<uint64_t, std::optional<bool>> waiters_;
  bool result_ = false;
  bool kicked_ = false;
  bool waiting_ = false;
  bool stop_ = false;
  bool running_ = false;
  // The worker now running is the one started with this generation; a worker
  // of an older one has been left behind.
  uint64_t generation_ = 0;
  bool in_send_ = false;
  std::optional<uint64_t> sending_ticket_;     // the request going out now
  std::optional<uint64_t> sending_write_;      // the write going out now (its order id)
  std::thread worker_;
  std::map<uint64_t, std::thread> left_behind_;  // by generation
  std::vector<uint64_t> ended_behind_;           // ...of those that have returned
};

}  // namespace mx::link
