#include "LoadedLibrary.h"

namespace hidlib {

LoadedLibrary::LoadedLibrary(HidPlatform& platform) : library_(std::make_unique<HidLibrary>(platform)) {
  platform.set_device_change_poster([this] {
    std::lock_guard lock(mutex_);
    ++pending_;
    wake_.notify_all();
  });
  install_process_library(library_.get());
  thread_ = std::thread([this] { read_loop(); });
}

LoadedLibrary::~LoadedLibrary() {
  library_->stop_read_loop();
  thread_.join();
  library_->platform().set_device_change_poster(nullptr);
  if (process_library() == library_.get()) install_process_library(nullptr);
}

void LoadedLibrary::read_loop() {
  try {
    library_->read_loop();
  } catch (...) {
    // A report handler that throws ends delivery for good, quietly.
  }
  running_ = false;
}

int LoadedLibrary::pump_device_changes() {
  int count;
  {
    std::lock_guard lock(mutex_);
    count = pending_;
    pending_ = 0;
  }
  for (int i = 0; i < count; ++i) {
    try {
      library_->device_change_message();
    } catch (...) {
      // The window procedure lets nothing escape into the message dispatch.
    }
  }
  return count;
}

int LoadedLibrary::wait_and_pump_device_changes(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, timeout, [this] { return pending_ > 0; });
  }
  return pump_device_changes();
}

}  // namespace hidlib
