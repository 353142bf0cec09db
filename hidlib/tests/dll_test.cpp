// HID_Lib.dll as a host sees it under Windows: bound by name, its export
// directory, a scan checked against the system's own HID calls, and its hidden
// device-change window.
#include "HIDinterface.h"

#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <tlhelp32.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

HMODULE library() {
  static HMODULE module = LoadLibraryA("HID_Lib.dll");
  return module;
}

template <typename T>
T bind(const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(library(), name)));
}


// What the system itself says about one HID interface.
struct SystemView {
  std::string path;
  bool read_write = false;
  bool opened = false;
  HIDD_ATTRIBUTES attributes{};
  std::optional<std::string> manufacturer, product, serial;
  bool has_caps = false;
  HIDP_CAPS caps{};
};

std::optional<std::string> system_string(HANDLE h, BOOLEAN(NTAPI* query)(HANDLE, PVOID, ULONG)) {
  wchar_t buffer[257] = {};
  if (!query(h, buffer, 512)) return std::nullopt;
  char narrow[1024] = {};
  WideCharToMultiByte(CP_ACP, 0, buffer, -1, narrow, sizeof narrow, nullptr, nullptr);
  return std::string(narrow).substr(0, 255);
}

std::vector<SystemView> system_hid_interfaces() {
  std::vector<SystemView> views;
  GUID guid;
  HidD_GetHidGuid(&guid);
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return views;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) break;
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    std::vector<DWORD> buffer(size / sizeof(DWORD) + 2);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr)) continue;
    SystemView view;
    view.path = detail->DevicePath;
    HANDLE h = CreateFileA(view.path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    view.read_write = h != INVALID_HANDLE_VALUE;
    if (h == INVALID_HANDLE_VALUE)
      h = CreateFileA(view.path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      view.opened = true;
      view.attributes.Size = sizeof view.attributes;
      if (!HidD_GetAttributes(h, &view.attributes)) view.attributes = {};
      view.manufacturer = system_string(h, HidD_GetManufacturerString);
      view.product = system_string(h, HidD_GetProductString);
      view.serial = system_string(h, HidD_GetSerialNumberString);
      PHIDP_PREPARSED_DATA preparsed = nullptr;
      if (HidD_GetPreparsedData(h, &preparsed)) {
        view.has_caps = HidP_GetCaps(preparsed, &view.caps) == HIDP_STATUS_SUCCESS;
        HidD_FreePreparsedData(preparsed);
      }
      CloseHandle(h);
    }
    views.push_back(view);
  }
  SetupDiDestroyDeviceInfoList(set);
  return views;
}

// The HID interfaces the library lists: opened, with vendor and product IDs.
std::vector<SystemView> listable_interfaces() {
  std::vector<SystemView> listable;
  for (const SystemView& v : system_hid_interfaces())
    if (v.opened && v.attributes.VendorID != 0 && v.attributes.ProductID != 0 && listable.size() < 32)
      listable.push_back(v);
  return listable;
}

// Wine's own HID mouse and keyboard appear a moment after a fresh prefix has
// booted, later still on a busy machine: wait for both, with a bound.
std::vector<SystemView> wine_hid_devices() {
  std::vector<SystemView> listed = listable_interfaces();
  for (const DWORD start = GetTickCount(); listed.size() < 2 && GetTickCount() - start < 60000;) {
    Sleep(50);
    listed = listable_interfaces();
  }
  return listed;
}

struct ExportEntry {
  std::string name;
  unsigned ordinal;
};

// Reads the export directory of the loaded image: the module name it gives and
// each exported name with its ordinal.
std::string export_directory(HMODULE module, std::vector<ExportEntry>& entries) {
  const auto* base = reinterpret_cast<const uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0) return {};
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  const auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    entries.push_back({reinterpret_cast<const char*>(base + names[i]), exports->Base + ordinals[i]});
  return reinterpret_cast<const char*>(base + exports->Name);
}

std::atomic<int> usb_calls{0};
std::atomic<DWORD> usb_thread{0};
void HIDAPI_CALL on_usb() {
  ++usb_calls;
  usb_thread = GetCurrentThreadId();
}

BOOL CALLBACK find_util_window(HWND window, LPARAM found) {
  char name[64] = {};
  GetClassNameA(window, name, sizeof name);
  if (std::strcmp(name, "TPUtilWindow") == 0 &&
      reinterpret_cast<HMODULE>(GetClassLongPtrA(window, GCLP_HMODULE)) == library()) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

HWND library_window() {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), find_util_window, reinterpret_cast<LPARAM>(&found));
  return found;
}

void pump() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
}

}  // namespace

TEST(HidLibDll, LoadsByNameAndResolvesEveryExport) {
  ASSERT_NE(library(), nullptr);
  for (const char* name : HID_EXPORT_NAMES) EXPECT_NE(GetProcAddress(library(), name), nullptr) << name;
}

TEST(HidLibDll, ExportDirectoryNamesTheModuleAndGivesTheOrdinals) {
  ASSERT_NE(library(), nullptr);
  std::map<std::string, unsigned> expected;
  for (size_t i = 0; i < std::size(HID_EXPORT_NAMES); ++i) expected[HID_EXPORT_NAMES[i]] = HID_EXPORT_ORDINALS[i];
  std::vector<ExportEntry> entries;
  EXPECT_EQ(export_directory(library(), entries), "HID_Library__.dll");
  std::map<std::string, unsigned> found;
  for (const ExportEntry& e : entries) found[e.name] = e.ordinal;
  EXPECT_EQ(found, expected);
  for (const auto& [name, ordinal] : expected)
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(library(), MAKEINTRESOURCEA(ordinal))),
              reinterpret_cast<void*>(GetProcAddress(library(), name.c_str())))
        << name;
}

TEST(HidLibDll, ScanListsWhatTheSystemListsWithTheSameRecords) {
  auto scan = bind<THIDscanForDevices>("HIDscanForDevices");
  auto get_info = bind<THIDGetDeviceInfo>("HIDGetDeviceInfo");
  ASSERT_TRUE(scan && get_info);

  const std::vector<SystemView> expected = wine_hid_devices();
  if (expected.empty())
    GTEST_SKIP() << "this Wine session lists no HID device at all, so a scan has nothing to compare";
  const uint8_t count = scan();
  ASSERT_EQ(count, expected.size());
  // Wine lists its own HID mouse and keyboard; a scan that finds nothing checks nothing.
  EXPECT_GE(count, 2);

  for (uint8_t i = 0; i < count; ++i) {
    const SystemView& v = expected[i];
    THIDDeviceInfo r;
    get_info(i, &r);
    SCOPED_TRACE(v.path);
    std::string path = v.path.substr(0, 255) + '\0';
    EXPECT_EQ(hid_text(r.DevicePath), path.substr(0, 255));
    EXPECT_EQ(+r.VendorID, v.attributes.VendorID);
    EXPECT_EQ(+r.ProductID, v.attributes.ProductID);
    EXPECT_EQ(+r.VersionNumber, v.attributes.VersionNumber);
    EXPECT_EQ(hid_text(r.Manufacturer), v.manufacturer.value_or(""));
    EXPECT_EQ(hid_text(r.Product), v.product.value_or(""));
    EXPECT_EQ(hid_text(r.SerialNumber), v.serial.value_or("---"));
    EXPECT_EQ(r.ReadWrite, v.read_write ? 1 : 0);
    EXPECT_EQ(+r.DeviceHandle, HID_NO_HANDLE);
    EXPECT_EQ(+r.InputReportByteLength, v.has_caps ? v.caps.InputReportByteLength : 0);
    EXPECT_EQ(+r.OutputReportByteLength, v.has_caps ? v.caps.OutputReportByteLength : 0);
    EXPECT_EQ(+r.FeatureReportByteLength, v.has_caps ? v.caps.FeatureReportByteLength : 0);
    // Entry 0 of a table without value controls describes the whole report.
    EXPECT_EQ(r.OutputItems[0].BitSize, 8);
  }
  for (int i = count; i < 32; ++i) {
    THIDDeviceInfo r;
    get_info(static_cast<uint8_t>(i), &r);
    EXPECT_EQ(r.DevicePath.Length, 0) << i;
    EXPECT_EQ(r.Manufacturer.Length | r.Product.Length | r.SerialNumber.Length, 0) << i;
    EXPECT_EQ(+r.VendorID, 0) << i;
    EXPECT_EQ(+r.InputReportByteLength, 0) << i;
    EXPECT_EQ(+r.DeviceHandle, HID_NO_HANDLE) << i;
  }
}

TEST(HidLibDll, OpensAndClosesARealDevice) {
  auto scan = bind<THIDscanForDevices>("HIDscanForDevices");
  auto get_info = bind<THIDGetDeviceInfo>("HIDGetDeviceInfo");
  auto open = bind<THIDopenDevice>("HIDopenDevice");
  auto close = bind<THIDcloseDevice>("HIDcloseDevice");
  auto read = bind<THIDreadDevice>("HIDreadDevice");
  auto input_size = bind<THIDReportSize>("HIDInputReportSize");
  auto input_count = bind<THIDReportCount>("HIDInputReportCount");
  if (wine_hid_devices().empty())
    GTEST_SKIP() << "this Wine session lists no HID device at all, so there is none to open";
  ASSERT_GE(scan(), 1);
  THIDDeviceInfo before;
  get_info(0, &before);

  EXPECT_EQ(open(32), 0);
  ASSERT_EQ(open(0), 1);
  THIDDeviceInfo opened;
  get_info(0, &opened);
  EXPECT_NE(+opened.DeviceHandle, HID_NO_HANDLE);
  EXPECT_EQ(input_size(), before.InputReportByteLength & 0xFF);
  if (before.InputReportByteLength > 0) {
    EXPECT_GT(input_count(0), 0);
  }
  // Wine's devices send nothing: the read is withdrawn at once and leaves the buffer.
  THIDReport report;
  std::memset(&report, 0x5A, sizeof report);
  const DWORD start = GetTickCount();
  EXPECT_EQ(read(&report), 0);
  EXPECT_LT(GetTickCount() - start, 100u);
  EXPECT_EQ(report.ReportID, 0x5A);
  EXPECT_EQ(report.Data[63], 0x5A);
  EXPECT_EQ(open(0), 1) << "an open entry opens again without a new handle";
  THIDDeviceInfo again;
  get_info(0, &again);
  EXPECT_EQ(+again.DeviceHandle, +opened.DeviceHandle);

  EXPECT_EQ(close(), 1);
  EXPECT_EQ(close(), 0);
  get_info(0, &opened);
  EXPECT_EQ(+opened.DeviceHandle, HID_NO_HANDLE);
  EXPECT_EQ(input_size(), 0);
}

TEST(HidLibDll, DeviceChangeWindowCallsTheHandlerOncePerMessage) {
  auto set_usb = bind<TUSBsetEventHandler>("USBsetEventHandler");
  ASSERT_TRUE(set_usb);
  HWND window = library_window();
  ASSERT_NE(window, nullptr) << "a TPUtilWindow of the library on the loading thread";
  EXPECT_FALSE(IsWindowVisible(window));
  EXPECT_EQ(GetParent(window), nullptr);
  EXPECT_EQ(GetAncestor(window, GA_PARENT), GetDesktopWindow()) << "top-level, not message-only";
  EXPECT_TRUE(GetWindowLongPtrA(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_TRUE(GetWindowLongPtrA(window, GWL_STYLE) & WS_POPUP);

  usb_calls = 0;
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(usb_calls, 0) << "none registered: default handling only";

  set_usb(&on_usb);
  const struct {
    UINT message;
    WPARAM wparam;
    int calls;
  } cases[] = {
      {WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 1},
      {WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 1},
      {WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 1},
      {WM_DEVICECHANGE, 0x1234, 1},
      {WM_NULL, 0, 0},
      {WM_TIMER, 1, 0},
      {WM_USER + 7, 0, 0},
      {WM_APP, DBT_DEVNODES_CHANGED, 0},
      {WM_POWERBROADCAST, 0, 0},
  };
  for (const auto& c : cases) {
    usb_calls = 0;
    SendMessageA(window, c.message, c.wparam, 0);
    EXPECT_EQ(usb_calls, c.calls) << std::hex << c.message << " " << c.wparam;
  }
  usb_calls = 0;
  usb_thread = 0;
  PostMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(usb_calls, 0) << "runs from the loading thread's dispatching";
  pump();
  EXPECT_EQ(usb_calls, 1);
  EXPECT_EQ(usb_thread, GetCurrentThreadId());

  set_usb(nullptr);
  usb_calls = 0;
  SendMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(usb_calls, 0);
}

TEST(HidLibDll, ReadThreadRunsAtTimeCriticalPriority) {
  ASSERT_NE(library(), nullptr);
  // Loading starts no thread; the host's first handler, open, close or scan does.
  bind<THIDsetEventHandler>("HIDsetEventHandler")(nullptr);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int critical = 0;
  for (BOOL ok = Thread32First(snapshot, &entry); ok; ok = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    if (GetThreadPriority(thread) == THREAD_PRIORITY_TIME_CRITICAL) ++critical;
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  EXPECT_EQ(critical, 1);
}
