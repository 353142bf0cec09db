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
    // Woken by every post and notify; the slice bounds a wake that was missed.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    sleeper_->sleep(std::clamp(left, std::chrono::milliseconds(1), std::chrono::milliseconds(100)));
  }
}

}  // namespace mx::ctl
