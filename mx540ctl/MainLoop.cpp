#include "MainLoop.h"

#include <algorithm>

namespace mx::ctl {

namespace {

class PortableSleeper : public Sleeper {
 public:
  void sleep(std::chrono::milliseconds at_most) override {
    std::unique_lock lk(lock_);
    woken_.wait_for(lk, at_most, [&] { return signalled_; });
    signalled_ = false;
  }
  void wake() override {
    std::lock_guard guard(lock_);
    signalled_ = true;
    woken_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable woken_;
  bool signalled_ = false;
};

}  // namespace

std::unique_ptr<Sleeper> portable_sleeper() { return std::make_unique<PortableSleeper>(); }

MainLoop::MainLoop(std::unique_ptr<Sleeper> sleeper) : sleeper_(std::move(sleeper)) {}

void MainLoop::post(std::function<void()> routine) {
  {
    std::lock_guard guard(lock_);
    posted_.push_back(std::move(routine));
  }
  sleeper_->wake();
}

void MainLoop::notify() { sleeper_->wake(); }

void MainLoop::run_posted() {
  for (;;) {
    std::function<void()> routine;
    {
      std::lock_guard guard(lock_);
      if (posted_.empty()) return;
      routine = std::move(posted_.front());
      posted_.pop_front();
    }
    if (routine) routine();
  }
}

bool MainLoop::run_until(const std::function<bool()>& done, Clock::time_point deadline) {
  for (;;) {
    run_posted();
    if (done()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    // Woken by every post and notify, and by the library's device changes
    // that the sleeper runs: a wait with a deadline sleeps until then, so a
    // tool waiting on a unit costs no CPU. A wait without one bounds itself
    // in `done` (a time since the last progress) and looks every 100 ms.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const auto most = deadline == Clock::time_point::max() ? std::chrono::milliseconds(100)
                                                           : std::max(left, std::chrono::milliseconds(1));
    sleeper_->sleep(std::clamp(left, std::chrono::milliseconds(1), most));
  }
}

}  // namespace mx::ctl
