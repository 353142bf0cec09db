// The virtual MX-540KTR on the simulated HID bus: the device model behind a
// SimDevice, a service thread that runs its scheduled bus changes, reads the
// control folder and writes the state folder, and the in-process library that
// native hosts bind instead of loading HID_Lib.dll.
#pragma once

#include "DeviceModel.h"
#include "LoadedLibrary.h"
#include "SimPlatform.h"
#include "StateFolder.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace mxv {

inline constexpr const char* folder_variable = "MX540_VIRTUAL_DIR";

// The folder named by MX540_VIRTUAL_DIR in the C runtime's environment;
// nullopt when it is unset or empty. (The drop-in DLL reads the Windows
// environment itself.)
std::optional<std::filesystem::path> folder_from_environment();

struct TVirtualOptions {
  std::optional<std::filesystem::path> folder;  // nullopt: state in memory only
  int notifications_per_change = 3;             // WM_DEVICECHANGE messages per plug or unplug
  uint32_t service_ms = 5;                      // pace of scheduled bus changes
  uint32_t control_poll_ms = 20;                // pace of the control folder and state writes
};

hidlib::SimDeviceConfig device_config(const TIdentity& id);

class TVirtualMx540 : public hidlib::SimDevice {
 public:
  TVirtualMx540(hidlib::SimPlatform& bus, TVirtualOptions options);
  ~TVirtualMx540() override;

  // Loads the folder's state, puts the device on the bus and starts the
  // service thread. Call once, on an object owned by a shared_ptr.
  void start();
  // Stops the service thread and writes the state folder one last time.
  void stop();

  // Runs one control command now (as a command file would), bus changes included.
  std::string control(const std::string& line);
  // Runs `f` on the model under the device's lock.
  template <class F>
  auto with_model(F&& f) {
    std::lock_guard lock(model_mutex_);
    return f(model_);
  }
  // Writes the state folder now (no-op without one).
  void flush();
  // Whether the service thread has taken in every command file present now.
  bool commands_pending() const;

  bool on_output_report(const uint8_t* data, size_t length, hidlib::OutputPath path) override;

 private:
  uint64_t now_ms() const;
  void apply_bus_events();
  void service_loop();
  void run_command_files();

  hidlib::SimPlatform& bus_;
  TVirtualOptions options_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

  std::mutex model_mutex_;  // guards model_
  TDeviceModel model_;
  std::mutex bus_mutex_;    // keeps bus changes in the order the model made them
  std::mutex folder_mutex_;
  std::optional<TStateFolder> folder_;

  std::mutex stop_mutex_;
  std::condition_variable stop_wake_;
  bool stop_ = false;
  std::thread service_;
};

// What loading the drop-in library does, for native hosts: a simulated bus
// with the virtual MX-540KTR plugged, and the HID library installed over it as
// the process's library, so that the 18 exports (HidExports.h,
// hidlib::resolve_export) work on the virtual device. Device changes wait in the
// library's mailbox until the host pumps them (LoadedLibrary).
class TInprocVirtualLibrary {
 public:
  explicit TInprocVirtualLibrary(TVirtualOptions options = {folder_from_environment()});
  ~TInprocVirtualLibrary();

  hidlib::LoadedLibrary& loaded() { return *loaded_; }
  hidlib::SimPlatform& bus() { return bus_; }
  TVirtualMx540& device() { return *device_; }

 private:
  hidlib::SimPlatform bus_;
  std::shared_ptr<TVirtualMx540> device_;
  std::unique_ptr<hidlib::LoadedLibrary> loaded_;
};

}  // namespace mxv
