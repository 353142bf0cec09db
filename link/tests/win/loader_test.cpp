// The Windows loading seam under real file, resource and module calls: the
// program's RCDATA "HID" (here the stand-in library link_stub_hid.dll) becomes
// HID_Lib.dll in the current folder, an existing file is never replaced, and the
// library is loaded from the current folder by full path.
#include "USB.h"
#include "fake_hid.h"
#include "link_testing.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace {

std::wstring exe_folder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L"\\/") + 1);
}

std::vector<uint8_t> read_file(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::wstring& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path.c_str(), std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::wstring widen(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// Path of the module a resolved entry lives in.
std::wstring module_of(void* entry) {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCWSTR>(entry), &module);
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, n);
}

bool same_path(const std::wstring& a, const std::wstring& b) { return lstrcmpiW(a.c_str(), b.c_str()) == 0; }

bool all_entries(const THIDEntries& e) {
  const void* entries[] = {
      reinterpret_cast<void*>(e.USBsetEventHandler),   reinterpret_cast<void*>(e.HIDsetEventHandler),
      reinterpret_cast<void*>(e.HIDscanForDevices),    reinterpret_cast<void*>(e.HIDGetDeviceInfo),
      reinterpret_cast<void*>(e.HIDopenDevice),        reinterpret_cast<void*>(e.HIDcloseDevice),
      reinterpret_cast<void*>(e.HIDwriteDevice),       reinterpret_cast<void*>(e.HIDreadDevice),
      reinterpret_cast<void*>(e.HIDOutputReportSize),  reinterpret_cast<void*>(e.HIDInputReportSize),
      reinterpret_cast<void*>(e.HIDFeatureReportSize), reinterpret_cast<void*>(e.HIDOutputReportCount),
      reinterpret_cast<void*>(e.HIDInputReportCount),  reinterpret_cast<void*>(e.HIDFeatureReportCount),
      reinterpret_cast<void*>(e.HIDSetOutputReport),   reinterpret_cast<void*>(e.HIDGetInputReport),
      reinterpret_cast<void*>(e.HIDSetFeatureReport),  reinterpret_cast<void*>(e.HIDGetFeatureReport),
  };
  for (const void* entry : entries)
    if (!entry)
      return false;
  return true;
}

// Each test runs in a fresh folder of its own as the current folder.
class WinLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    GetCurrentDirectoryW(MAX_PATH, previous);
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // Test processes of earlier runs leave their folders behind (a loaded
    // library cannot be deleted); take the first free name.
    bool created = false;
    for (int attempt = 0; attempt < 10000 && !created; ++attempt) {
      folder = std::wstring(temp) + L"link_loader_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
               std::to_wstring(GetTickCount64()) + L"_" + std::to_wstring(attempt) + L"\\";
      created = CreateDirectoryW(folder.c_str(), nullptr);
    }
    ASSERT_TRUE(created);
    ASSERT_TRUE(SetCurrentDirectoryW(folder.c_str()));
  }
  void TearDown() override {
    SetCurrentDirectoryW(previous);
    // Best effort: a library still loaded in this process stays behind.
    DeleteFileW(library().c_str());
    RemoveDirectoryW(library().c_str());
    RemoveDirectoryW(folder.c_str());
  }

  std::wstring library() const { return folder + L"HID_Lib.dll"; }

  wchar_t previous[MAX_PATH];
  std::wstring folder;
};

TEST_F(WinLoader, MissingLibraryIsWrittenByteIdenticalAndLoadedFromTheCurrentFolder) {
  THIDEntries e;
  const TLoadResult r = load_hid_library(link_win32_platform(), e);
  ASSERT_EQ(r.outcome, TLoadOutcome::bound) << r.write_error;
  const auto original = read_file(exe_folder() + L"link_stub_hid.dll");
  ASSERT_FALSE(original.empty());
  EXPECT_EQ(read_file(library()), original);
  EXPECT_TRUE(same_path(widen(r.path), library()));
  EXPECT_TRUE(all_entries(e));
  EXPECT_TRUE(same_path(module_of(reinterpret_cast<void*>(e.HIDscanForDevices)), library()));
  EXPECT_EQ(e.HIDscanForDevices(), 0);
}

TEST_F(WinLoader, ExistingFileIsNeverReplacedAndAnUnloadableOneGivesFalse) {
  const std::vector<uint8_t> junk = {'n', 'o', 't', ' ', 'a', ' ', 'l', 'i', 'b', 'r', 'a', 'r', 'y'};
  write_bytes(library(), junk);
  THIDEntries e;
  const TLoadResult r = load_hid_library(link_win32_platform(), e);
  EXPECT_EQ(r.outcome, TLoadOutcome::not_loadable);
  EXPECT_EQ(read_file(library()), junk);
  EXPECT_EQ(e.HIDSetOutputReport, nullptr);

  // The whole binding gives false, registers nothing and starts from scratch next time.
  link_reset_for_tests();
  link_use_win32_platform();
  EXPECT_FALSE(usb_init());
  EXPECT_EQ(read_file(library()), junk);
  link_reset_for_tests();
}

TEST_F(WinLoader, FailedWriteCarriesTheSystemsText) {
  // A folder of that name: not a file, and no file can be created in its place.
  ASSERT_TRUE(CreateDirectoryW(library().c_str(), nullptr));
  THIDEntries e;
  const TLoadResult r = load_hid_library(link_win32_platform(), e);
  EXPECT_EQ(r.outcome, TLoadOutcome::no_file);
  EXPECT_FALSE(r.write_error.empty());
  EXPECT_EQ(r.write_error.find("System error"), std::string::npos) << r.write_error;
}

TEST_F(WinLoader, RealLibraryIsBoundByFullPathWithAll18Entries) {
  const std::wstring built = exe_folder() + L"HID_Lib.dll";
  if (GetFileAttributesW(built.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "HID_Lib.dll is not part of this build";
  // The program's own folder holds another HID_Lib.dll (the built one); the
  // search order would find that first. The binding must take the current folder's.
  ASSERT_TRUE(CopyFileW(built.c_str(), library().c_str(), TRUE));
  THIDEntries e;
  const TLoadResult r = load_hid_library(link_win32_platform(), e);
  ASSERT_EQ(r.outcome, TLoadOutcome::bound);
  EXPECT_TRUE(all_entries(e));
  EXPECT_TRUE(same_path(module_of(reinterpret_cast<void*>(e.HIDSetOutputReport)), library()));
  EXPECT_EQ(read_file(library()), read_file(built));
}

TEST_F(WinLoader, UsbInitWithTheRealLibraryFindsNoDeviceAmongWinesOwn) {
  const std::wstring built = exe_folder() + L"HID_Lib.dll";
  if (GetFileAttributesW(built.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "HID_Lib.dll is not part of this build";
  ASSERT_TRUE(CopyFileW(built.c_str(), library().c_str(), TRUE));
  link_reset_for_tests();
  std::vector<std::string> events;
  TLinkHostFunctions host;
  host.cont = [&](bool en) { events.push_back(en ? "cont 1" : "cont 0"); };
  host.show_device = [&](const TDeviceIdentity& unit) {
    const std::string &n = unit.product, &s = unit.serial, &v = unit.version;
    events.push_back("show " + n + "|" + s + "|" + v);
  };
  link_set_host(host);
  link_use_win32_platform();
  EXPECT_TRUE(usb_init());
  EXPECT_FALSE(dev_open);
  EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show ||"}));
  usb_stop();
  link_reset_for_tests();
}

// The drop-in HID_Lib.dll of the virtual MX-540KTR: the real DLL shell with its
// hidden window and read thread, reports crossing the DLL boundary by value.
TEST_F(WinLoader, DropInVirtualDeviceAnswersThroughTheLibrarysReadThread) {
  const std::wstring built = exe_folder() + L"virtual\\HID_Lib.dll";
  if (GetFileAttributesW(built.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "the virtual device's HID_Lib.dll is not part of this build";
  ASSERT_TRUE(CopyFileW(built.c_str(), library().c_str(), TRUE));
  link_reset_for_tests();
  std::atomic<int> refreshes{0};
  std::string shown;
  TLinkHostFunctions host;
  host.refresh = [&] { ++refreshes; };
  host.post_to_main = main_queue().poster();
  host.show_device = [&](const TDeviceIdentity& unit) {
    const std::string &n = unit.product, &s = unit.serial, &v = unit.version;
    shown = n + "|" + s + "|" + v;
  };
  link_set_host(host);
  link_use_win32_platform();

  // The main thread's message loop, as the program runs it.
  auto pump_until = [&](const std::function<bool()>& done) {
    const ULONGLONG until = GetTickCount64() + 10000;
    while (GetTickCount64() < until) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      main_queue().run();
      if (done())
        return true;
      Sleep(1);
    }
    return false;
  };

  ASSERT_TRUE(usb_init());
  EXPECT_TRUE(dev_open);
  EXPECT_FALSE(boot_mode);
  EXPECT_EQ(shown.substr(0, 10), "MX-540KTR|");
  ASSERT_TRUE(pump_until([&] { return refreshes >= 1; }));  // the first read, answered

  int8_t gain = settings_get().gain[1];
  const int8_t wanted = gain == -4 ? 6 : -4;
  settings_edit([&](TSettings& s) { s.gain[1] = wanted; });
  save();
  Sleep(100);
  settings_edit([&](TSettings& s) { s.gain[1] = 0; });  // only the device's answer brings it back
  post_request(cmd_read);
  ASSERT_TRUE(pump_until([&] { return refreshes >= 2; }));
  EXPECT_EQ(settings_get().gain[1], wanted);
  usb_stop();
  link_reset_for_tests();
}

}  // namespace
