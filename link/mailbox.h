// The request mailbox and the link worker (Tthr).
//
// Windows never send: they post a request and the worker sends it. The slot
// holds one request; a newer post replaces one the worker has not taken, and a
// poster waiting for that one learns that it was not sent. The settings record
// has a write queue of its own beside the slot (an edit is never replaced by a
// poll), which the worker serves first.
//
// The worker never waits for the main thread, so a poster that waits on the
// main thread waits at most for the frame being sent and its own.
#pragma once

#include "settings.h"

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
  // Sends one frame; `connection` set: only to that connection. True when the
  // frame's last report reached the device.
  using TSend = std::function<bool(uint8_t cmd, const std::vector<uint8_t>& payload,
                                   std::optional<uint64_t> connection)>;

  TMailbox(TSettingsRecord& settings, TSend send);
  ~TMailbox();
  TMailbox(const TMailbox&) = delete;
  TMailbox& operator=(const TMailbox&) = delete;

  void start();  // once; again only after stop()
  // Asks the worker to stop, ends every waiting poster with false and joins
  // the worker (at most the report being sent). A request still waiting is not sent.
  void stop();

  void post(TRequest request);            // returns at once
  bool post_and_wait(TRequest request);   // false when it was not sent, replaced or refused
  void wake();                            // the settings record has a write ready

  bool last_result() const;
  bool idle() const;  // the worker waits with nothing it could take
  void clear();  // stopped mailbox back to its start state

 private:
  struct TTicketed {
    TRequest request;
    uint64_t ticket = 0;
  };
  void run();
  uint64_t post_locked(TRequest request);
  void after_send_locked();

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
  std::thread worker_;
};

}  // namespace mx::link
