// HID_Lib.dll over the virtual MX-540KTR: the library's loading code (DllShell)
// asks for its platform once, while the DLL loads, and gets a simulated bus on
// which the virtual device appears at the host's first scan.
#include "VirtualDevice.h"

#include <windows.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace {

// MX540_VIRTUAL_DIR from the process environment. Read through the Windows
// environment rather than the C runtime's copy, so that a host that sets it
// just before loading the library is heard. Under Wine a Unix path ("/tmp/x")
// arrives as it was written; drive Z: is Wine's view of the Unix root.
std::optional<std::filesystem::path> state_folder() {
  wchar_t buffer[4096];
  const DWORD n = GetEnvironmentVariableW(L"MX540_VIRTUAL_DIR", buffer, 4096);
  if (n == 0 || n >= 4096)
    return std::nullopt;
  std::wstring path(buffer, n);
  if (path[0] == L'/' && GetFileAttributesW(L"Z:\\") != INVALID_FILE_ATTRIBUTES)
    path = L"Z:" + path;
  return std::filesystem::path(path);
}

// MX540_VIRTUAL_UNITS from the process environment: how many units the bus carries.
unsigned unit_count() {
  char buffer[32];
  const DWORD n = GetEnvironmentVariableA(mxv::units_variable, buffer, sizeof buffer);
  return n == 0 || n >= sizeof buffer ? 1 : mxv::units_from_text(buffer);
}

// This process as a unit's owner.txt names it: its id and its creation time,
// so that a later process that got the same id is not taken for it.
std::string process_name(DWORD pid, HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
    return {};
  const uint64_t time = (uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
  return "pid " + std::to_string(pid) + " " + std::to_string(time);
}

bool process_alive(const std::string& owner) {
  unsigned long pid = 0;
  if (std::sscanf(owner.c_str(), "pid %lu", &pid) != 1)
    return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process)
    return false;
  const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT && process_name(pid, process) == owner;
  CloseHandle(process);
  return alive;
}

// A file's size and time of last change as one number, 0 when it is not
// there: read by name, without opening the file (see process_ending).
uint64_t file_stamp(const std::filesystem::path& file) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return 0;
  const uint64_t time = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  const uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return (time * 1000003u) ^ size ^ 1u;
}

// The simulated bus of the drop-in library. The DLL asks for its platform
// while it is being loaded, under the loader lock, where reading the state
// folder or starting the device's service thread is not safe; the device
// starts on the first scan instead. It is then on the bus before the host
// first looks, as a device plugged in before the program started: no device
// change is announced for it.
class TLazyVirtualBus final : public hidlib::SimPlatform {
 public:
  bool enumerate(std::vector<std::string>& paths) override {
    std::call_once(started_, [this] { start(); });
    return SimPlatform::enumerate(paths);
  }

  void set_device_change_poster(std::function<void()> poster) override {
    std::lock_guard lock(mutex_);
    poster_ = poster;
    if (running_) SimPlatform::set_device_change_poster(std::move(poster));
  }

  // The process ends normally: its name leaves the units' owner.txt files, so
  // that the next program finds the folders free at once. Other threads may
  // have been ended in the middle of a file call by now, which can leave
  // Wine's passing of file descriptors out of step: nothing here opens a
  // file (a file's attributes and its deletion go by name).
  void process_ending() override {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock) return;
    for (const auto& device : devices_) {
      const uint64_t stamp = device->owner_stamp();
      if (stamp != 0 && file_stamp(device->owner_path()) == stamp) DeleteFileW(device->owner_path().c_str());
    }
  }

 private:
  void start() {
    mxv::TVirtualOptions options{state_folder()};
    options.owner_id = process_name(GetCurrentProcessId(), GetCurrentProcess());
    options.owner_alive = process_alive;
    options.file_stamp = file_stamp;
    options.units = unit_count();
    std::vector<std::shared_ptr<mxv::TVirtualMx540>> started;
    for (unsigned unit = 1; unit <= options.units; ++unit) {
      options.unit = unit;
      auto device = std::make_shared<mxv::TVirtualMx540>(*this, options);
      device->start();
      started.push_back(device);
    }
    std::lock_guard lock(mutex_);
    devices_ = std::move(started);
    running_ = true;
    SimPlatform::set_device_change_poster(poster_);
  }

  std::once_flag started_;
  std::mutex mutex_;
  std::function<void()> poster_;
  bool running_ = false;
  // Kept for good, as the bus is: the service threads run until the process ends.
  std::vector<std::shared_ptr<mxv::TVirtualMx540>> devices_;
};

}  // namespace

namespace hidlib {

HidPlatform& dll_platform() {
  // Lives until the process ends and is never destroyed: the device's service
  // thread runs as long as the library's read thread does, and the library is
  // never unloaded.
  static SimPlatform* bus = new TLazyVirtualBus();
  return *bus;
}

}  // namespace hidlib
