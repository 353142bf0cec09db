// The drop-in HID_Lib.dll as the control panel meets it: loaded by its bare
// name from the program's folder, bound by export name, with the report
// handler called on the library's read thread and device changes arriving as
// WM_DEVICECHANGE at the library's hidden window on the loading thread.
#include "HIDinterface.h"
#include "frame.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TBinding {
  HMODULE module = nullptr;
  THIDscanForDevices scan = nullptr;
  THIDGetDeviceInfo info = nullptr;
  THIDopenDevice open = nullptr;
  THIDcloseDevice close = nullptr;
  uint8_t(HIDAPI_CALL* set_output)(void*) = nullptr;
  THIDsetEventHandler set_report_handler = nullptr;
  TUSBsetEventHandler set_usb_handler = nullptr;
};

std::mutex frames_mutex;
TFrameAssembler assembler(TMarkKind::end_mark);
std::vector<TFrame> frames;
std::atomic<DWORD> handler_thread{0};
std::atomic<int> device_changes{0};
std::atomic<DWORD> device_change_thread{0};

void HIDAPI_CALL on_report(THIDReport report, uint8_t count) {
  handler_thread = GetCurrentThreadId();
  std::lock_guard lock(frames_mutex);
  TFrame frame;
  if (count > 0 && assembler.feed(reinterpret_cast<const uint8_t*>(&report), sizeof report, frame) ==
                       TFrameAssembler::TFeed::good)
    frames.push_back(frame);
}

void HIDAPI_CALL on_device_change() {
  device_change_thread = GetCurrentThreadId();
  ++device_changes;
}

// Dispatches this thread's window messages (the library's window lives here)
// until `done` holds or the time is up.
bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(2);
  }
  return true;
}


class DropInLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    // A Unix path, as a test script under Wine gives it: the working folder's
    // own, with Wine's drive Z: taken off.
    const std::string cwd = fs::current_path().generic_string();
    ASSERT_EQ(cwd.rfind("Z:/", 0), 0u) << cwd;
    folder_unix = cwd.substr(2) + "/dropin-state/" + std::to_string(GetCurrentProcessId());
    folder = fs::path("Z:" + folder_unix);
    // Cleared before the library loads: from then on the device writes there
    // until the process ends (the library is never unloaded).
    std::error_code ec;
    fs::remove_all(folder, ec);
    SetEnvironmentVariableW(L"MX540_VIRTUAL_DIR", fs::path(folder_unix).wstring().c_str());

    lib.module = LoadLibraryW(L"HID_Lib.dll");
    ASSERT_NE(lib.module, nullptr);
    for (const char* name : HID_EXPORT_NAMES)
      ASSERT_NE(GetProcAddress(lib.module, name), nullptr) << name;
    auto bind = [&](auto& entry, const char* name) {
      entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(
          reinterpret_cast<void*>(GetProcAddress(lib.module, name)));
    };
    bind(lib.scan, "HIDscanForDevices");
    bind(lib.info, "HIDGetDeviceInfo");
    bind(lib.open, "HIDopenDevice");
    bind(lib.close, "HIDcloseDevice");
    bind(lib.set_output, "HIDSetOutputReport");
    bind(lib.set_report_handler, "HIDsetEventHandler");
    bind(lib.set_usb_handler, "USBsetEventHandler");
    lib.set_report_handler(&on_report);
    lib.set_usb_handler(&on_device_change);
  }


  // Scans and opens the first device whose manufacturer is "VORNIX"; `product` gets its product string.
  bool open_vornix(std::string* product = nullptr) {
    lib.close();
    const uint8_t count = lib.scan();
    for (uint8_t i = 0; i < count; ++i) {
      THIDDeviceInfo info;
      lib.info(i, &info);
      if (hid_text(info.Manufacturer) == "VORNIX") {
        if (product)
          *product = hid_text(info.Product);
        return lib.open(i) != 0;
      }
    }
    return false;
  }

  bool send(uint8_t cmd) {
    bool all = true;
    for (auto report : cut_frame(build_frame(cmd, nullptr, 0), TMarkKind::total))
      all = lib.set_output(report.data()) != 0 && all;
    return all;
  }

  TBinding lib;
  std::string folder_unix;
  fs::path folder;
};

}  // namespace

int threads_of_this_process() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
  return count;
}

// Loading runs under the loader lock: the device's state folder and threads
// wait for the host's first call.
TEST(DropInLoading, StartsNoThreadAndTouchesNoFileUntilFirstUsed) {
  if (GetModuleHandleW(L"HID_Lib.dll") != nullptr)
    GTEST_SKIP() << "the library is already loaded in this process";
  const fs::path folder = fs::current_path() / "dropin-state" / ("lazy-" + std::to_string(GetCurrentProcessId()));
  std::error_code ec;
  fs::remove_all(folder, ec);
  SetEnvironmentVariableW(L"MX540_VIRTUAL_DIR", folder.wstring().c_str());

  const int threads_before = threads_of_this_process();
  HMODULE module = LoadLibraryW(L"HID_Lib.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(threads_of_this_process(), threads_before) << "a thread started while loading";
  EXPECT_FALSE(fs::exists(folder)) << "the state folder was touched while loading";

  auto scan = reinterpret_cast<THIDscanForDevices>(reinterpret_cast<void*>(GetProcAddress(module, "HIDscanForDevices")));
  ASSERT_NE(scan, nullptr);
  EXPECT_EQ(scan(), 1) << "the device is there at the first scan";
  EXPECT_GT(threads_of_this_process(), threads_before);
  EXPECT_TRUE(pump_until([&] { return fs::exists(folder / "device.txt"); }));
}

TEST_F(DropInLibrary, LoadsFromTheProgramFolderAndAnswersAReadWithTheSettings) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(lib.module, path, MAX_PATH);
  EXPECT_EQ(fs::path(path).parent_path().filename(), "virtual");

  std::string product;
  ASSERT_TRUE(open_vornix(&product));
  EXPECT_EQ(product, "MX-540KTR");
  ASSERT_TRUE(send(0x00));
  ASSERT_TRUE(pump_until([] {
    std::lock_guard lock(frames_mutex);
    return !frames.empty();
  }));
  std::lock_guard lock(frames_mutex);
  EXPECT_EQ(frames[0].cmd, 0x00);
  ASSERT_EQ(frames[0].payload.size(), 29u);
  EXPECT_EQ(frames[0].payload[1], 3);   // preset 1 plays both channels
  EXPECT_EQ(frames[0].payload[13], 18); // at -18 dBFS
  EXPECT_NE(handler_thread.load(), GetCurrentThreadId());  // the library's read thread
}

TEST_F(DropInLibrary, BootRequestArrivesAsSeveralDeviceChangesAndTheBootLoaderIsFound) {
  ASSERT_TRUE(open_vornix());
  ASSERT_TRUE(send(0xFB));
  ASSERT_TRUE(pump_until([] { return device_changes >= 6; }));
  EXPECT_EQ(device_change_thread.load(), GetCurrentThreadId());
  std::string product;
  ASSERT_TRUE(open_vornix(&product));
  EXPECT_EQ(product, "MX-540KTR (boot)");

  // The state folder, named by a Unix path, is where the device said it would be.
  ASSERT_TRUE(pump_until([&] {
    std::ifstream in(folder / "device.txt");
    const std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return s.find("mode=boot") != std::string::npos;
  }));
  std::ifstream log(folder / "frames.log");
  const std::string s((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(s.find("cmd=0xFB"), std::string::npos) << s;
}
