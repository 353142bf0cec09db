// mx540ctl's main thread: the routines the link hands to it (LinkHost::
// post_to_main) and the bounded waits of the commands. On Windows the wait
// also dispatches the thread's window messages, because the HID library's
// device-change window lives on the thread that loaded the library.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace mx::ctl {

using Clock = std::chrono::steady_clock;

// How the main thread sleeps until woken or for at most a while. The portable
// one waits on a condition variable; the Windows one (win/) also runs messages.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void sleep(std::chrono::milliseconds at_most) = 0;
  virtual void wake() = 0;   // any thread
};
std::unique_ptr<Sleeper> portable_sleeper();

class MainLoop {
 public:
  explicit MainLoop(std::unique_ptr<Sleeper> sleeper);

  void post(std::function<void()> routine);   // any thread
  void notify();                              // any thread: something a wait looks at may have changed

  // Runs posted routines until `done` holds (true) or `deadline` passes
  // (false). `done` is looked at after every post, notify and device change;
  // with no deadline (time_point::max()) also every 100 ms.
  bool run_until(const std::function<bool()>& done, Clock::time_point deadline);

 private:
  void run_posted();

  std::unique_ptr<Sleeper> sleeper_;
  std::mutex lock_;
  std::deque<std::function<void()>> posted_;
};

}  // namespace mx::ctl
