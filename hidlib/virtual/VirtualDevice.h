// The virtual MX-540KTR on the simulated HID bus: the device model behind a
// SimDevice, a service thread that runs its scheduled bus changes, reads the
// control folder and writes the state folder, and the in-process library that
// native hosts bind instead of loading HID_Lib.dll.
#pragma once

#include "DeviceModel.h"
#include "LoadedLibrary.h"
#include "SimPlatform.h"
#include "StateFolder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace mxv {

inline constexpr const char* folder_variable = "MX540_VIRTUAL_DIR";
inline constexpr const char* units_variable = "MX540_VIRTUAL_UNITS";
inline constexpr unsigned max_units = 32;

// The folder named by MX540_VIRTUAL_DIR in the C runtime's environment;
// nullopt when it is unset or empty. (The drop-in DLL reads the Windows
// environment itself.)
std::optional<std::filesystem::path> folder_from_environment();
// MX540_VIRTUAL_UNITS read as a number of units, 1 to max_units; 1 when unset
// or not such a number.
unsigned units_from_text(const char* text);
unsigned units_from_environment();

// Unit k (from 1): serial "VX540K-00000k"; state in the folder itself for unit
// 1 and in <folder>/unitK for the others.
std::string unit_serial(unsigned unit);
std::filesystem::path unit_folder(const std::filesystem::path& folder, unsigned unit);

struct TVirtualOptions {
  std::optional<std::filesystem::path> folder;  // nullopt: state in memory only
  int notifications_per_change = 3;             // WM_DEVICECHANGE messages per plug or unplug
  uint32_t service_ms = 5;                      // pace of scheduled bus changes
  uint32_t control_poll_ms = 20;                // pace of the control folder and state writes
  unsigned units = 1;                           // TInprocVirtualLibrary: units on the bus
  unsigned unit = 1;                            // TVirtualMx540: which unit it is
  // Every process that loads the library simulates every unit; the one named
  // in a unit's owner.txt drives its folder (writes the state files, runs the
  // control commands). `owner_id` is this process's name there, `owner_alive`
  // tells whether the process another name stands for still runs. Empty: the
  // in-process hosts of this process are the only ones alive.
  std::string owner_id{};
  std::function<bool(const std::string& owner)> owner_alive{};
  // A file's size and time of last change folded into one number (0: no such
  // file). The drop-in library gives one that opens no file: at the end of a
  // process it tells whether owner.txt is still the one this process wrote.
  std::function<uint64_t(const std::filesystem::path& file)> file_stamp{};
};

hidlib::SimDeviceConfig device_config(const TIdentity& id, unsigned unit = 1);

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
  // Whether this process drives the unit's folder now.
  bool drives_folder() const;
  // Removes owner.txt when it names this process.
  void leave_folder() const;
  // owner.txt as this process wrote it last (file_stamp), 0 when another
  // process has written it since or there is none; and where it is. Read
  // without a lock, for the end of the process (see TVirtualOptions::file_stamp).
  uint64_t owner_stamp() const { return owner_stamp_; }
  const std::filesystem::path& owner_path() const { return owner_path_; }

  bool on_output_report(const uint8_t* data, size_t length, hidlib::OutputPath path) override;
  // A host opening the unit (HIDopenDevice) takes its folder over.
  void on_open(hidlib::OpenMode mode) override;
  // A host closing the unit finds its state in the folder: a host that ends
  // right after its last transfer would otherwise leave the last changes
  // unwritten (the folder is written on the service thread's pace).
  void on_close() override;

 private:
  uint64_t now_ms() const;
  void apply_bus_events();
  bool apply_bus_events_locked();  // true when the unit left or came back
  void service_loop();
  void run_command_files();
  // Under folder_mutex_: whether this process drives the folder, after taking
  // it over when it is nobody's, when a host opens the unit (`opening`) or
  // while one has it open; see the definition for when it takes up the
  // folder's state.
  bool drive_folder_locked(bool opening);
  void write_folder(bool take);

  std::string owner_id_;
  bool own_owner_id_ = false;  // registered by this object, unregistered with it

  hidlib::SimPlatform& bus_;
  TVirtualOptions options_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();

  std::mutex model_mutex_;  // guards model_
  TDeviceModel model_;
  std::mutex bus_mutex_;    // keeps bus changes in the order the model made them
  mutable std::mutex folder_mutex_;
  std::optional<TStateFolder> folder_;
  std::filesystem::path folder_path_;
  std::filesystem::path owner_path_;  // set once, at construction
  bool drives_ = false;  // under folder_mutex_
  size_t host_opens_ = 0;  // handles a host opened (not probes), under folder_mutex_
  std::atomic<bool> host_changes_{false};  // a host changed the state since the last flush
  std::atomic<uint64_t> owner_stamp_{0};

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
//
// With options.units above 1 the bus carries that many units, each with its
// own serial and folder (unit_serial, unit_folder). Each library stands for a
// process of its own: two of them in one test behave as two programs sharing
// the units' folders.
class TInprocVirtualLibrary {
 public:
  explicit TInprocVirtualLibrary(TVirtualOptions options = {folder_from_environment(), 3, 5, 20,
                                                            units_from_environment()});
  ~TInprocVirtualLibrary();

  hidlib::LoadedLibrary& loaded() { return *loaded_; }
  hidlib::SimPlatform& bus() { return bus_; }
  TVirtualMx540& device(unsigned unit = 1) { return *devices_.at(unit - 1); }
  unsigned units() const { return static_cast<unsigned>(devices_.size()); }

 private:
  hidlib::SimPlatform bus_;
  std::string owner_id_;
  std::vector<std::shared_ptr<TVirtualMx540>> devices_;
  std::unique_ptr<hidlib::LoadedLibrary> loaded_;
};

// The in-process owner names (TVirtualOptions::owner_id left empty).
std::string register_inproc_owner();
void unregister_inproc_owner(const std::string& id);
bool inproc_owner_alive(const std::string& id);

}  // namespace mxv
