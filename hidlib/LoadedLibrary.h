// What loading HID_Lib.dll does, for hosts without the DLL (native tests, the
// virtual device's native tests): a HidLibrary over a platform installed as the
// process's library, its read thread running, and a device-change mailbox
// standing in for the hidden window.
//
// On Windows the device-change handler runs on the loading thread from its
// message dispatching. Here the same holds for the thread that calls
// pump_device_changes(): notifications the platform posts wait in the mailbox
// until that thread pumps them, and each one becomes one WM_DEVICECHANGE-like
// call of the registered handler.
#pragma once

#include "HidLibrary.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace hidlib {

class LoadedLibrary {
 public:
  // Installs the library as the process's library; the platform must outlive this.
  explicit LoadedLibrary(HidPlatform& platform);
  // Stops the read thread and uninstalls (the DLL never does; tests need a fresh start).
  ~LoadedLibrary();
  LoadedLibrary(const LoadedLibrary&) = delete;
  LoadedLibrary& operator=(const LoadedLibrary&) = delete;

  HidLibrary& library() { return *library_; }

  // Delivers the device-change notifications posted so far on the calling
  // thread; returns how many there were.
  int pump_device_changes();
  // Waits up to `timeout` for at least one notification, then pumps.
  int wait_and_pump_device_changes(std::chrono::milliseconds timeout);

  // Whether the read thread still runs (it ends when a report handler throws).
  bool read_thread_running() const { return running_; }

 private:
  void read_loop();

  std::unique_ptr<HidLibrary> library_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int pending_ = 0;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace hidlib
