// The HID library's platform on Windows: SetupApi lists the HID interfaces,
// hid.dll describes and talks to them, overlapped file I/O moves reports.
#include "Win32Platform.h"

#include "Win32Handle.h"
#include "WineSysfs.h"
#include "win32/handles.h"
#include "win32/text.h"

#include <windows.h>
#include <setupapi.h>
// MinGW's HID headers declare the functions without C++ guards.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <algorithm>
#include <cstring>
#include <vector>

namespace hidlib {

namespace {

// Some devices answer a string query with a broken string when the buffer
// is larger than 127 wide characters (the USB string descriptor's limit is
// 126 plus the NUL), so no more is asked for.
constexpr ULONG kStringBufferChars = 127;

// The device list that SetupApi gives, and a device's preparsed data.
struct TDeviceListTraits {
  using type = HDEVINFO;
  static HDEVINFO none() { return INVALID_HANDLE_VALUE; }
  static bool valid(HDEVINFO set) { return set != INVALID_HANDLE_VALUE && set != nullptr; }
  static void free(HDEVINFO set) { SetupDiDestroyDeviceInfoList(set); }
};
struct TPreparsedTraits {
  using type = PHIDP_PREPARSED_DATA;
  static PHIDP_PREPARSED_DATA none() { return nullptr; }
  static bool valid(PHIDP_PREPARSED_DATA data) { return data != nullptr; }
  static void free(PHIDP_PREPARSED_DATA data) { HidD_FreePreparsedData(data); }
};

// One overlapped transfer's event and record, released only after the
// transfer is known to be over, so a late completion never lands in freed
// memory.
class Transfer {
 public:
  Transfer() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) { overlapped_.hEvent = event_.get(); }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  bool ok() const { return static_cast<bool>(event_); }
  OVERLAPPED* overlapped() { return &overlapped_; }

  // Waits `ms` for completion. True only for a transfer that finished and
  // succeeded. A transfer still running is cancelled and waited for.
  bool finish(HANDLE device, bool in_flight, DWORD ms) {
    if (!in_flight) return false;  // failed at once: nothing to wait for
    DWORD count = 0;
    if (WaitForSingleObject(event_.get(), ms) == WAIT_OBJECT_0)
      return GetOverlappedResult(device, &overlapped_, &count, FALSE) != FALSE;
    CancelIo(device);
    // A transfer that completed just before the cancel still counts.
    return GetOverlappedResult(device, &overlapped_, &count, TRUE) != FALSE;
  }

 private:
  win32::THandle event_;
  OVERLAPPED overlapped_{};
};

// The read thread's read: one overlapped read kept pending, its completion
// event and an auto-reset event that other threads set to wake the thread.
class Win32ReadWaiter final : public ReadWaiter {
 public:
  Win32ReadWaiter()
      : done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~Win32ReadWaiter() override { cancel(); }
  Win32ReadWaiter(const Win32ReadWaiter&) = delete;
  Win32ReadWaiter& operator=(const Win32ReadWaiter&) = delete;

  void signal() override {
    if (wake_) SetEvent(wake_.get());
  }

  bool start(HidHandle handle, uint16_t length) override {
    if (!done_ || pending_) return false;
    device_ = to_win_handle(handle);
    buffer_.assign(length, 0);
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = done_.get();
    ResetEvent(done_.get());
    SetLastError(ERROR_SUCCESS);
    // A report already buffered completes the read at once; the event is set
    // then too.
    if (!ReadFile(device_, buffer_.data(), length, nullptr, &overlapped_) && GetLastError() != ERROR_IO_PENDING)
      return false;
    pending_ = true;
    return true;
  }

  Wake wait() override {
    const HANDLE events[2] = {done_.get(), wake_.get()};
    // The read's event comes first: a report that has arrived wins over a signal.
    const DWORD first = pending_ ? 0 : 1;
    const DWORD woke = WaitForMultipleObjects(2 - first, events + first, FALSE, INFINITE);
    if (woke == WAIT_FAILED) {
      // Only without its events (the system refused to make them): the
      // thread must not spin on a wait that never sleeps.
      Sleep(100);
      return Wake::Signalled;
    }
    if (!pending_ || woke != WAIT_OBJECT_0) return Wake::Signalled;
    pending_ = false;
    DWORD count = 0;
    if (!GetOverlappedResult(device_, &overlapped_, &count, FALSE)) return Wake::Failed;
    report_ = buffer_;
    return Wake::Report;
  }

  bool cancel() override {
    if (!pending_) return false;
    pending_ = false;
    // The read is this thread's own, so CancelIo reaches it; waiting for it
    // keeps the buffer, record and event alive until the driver lets go.
    CancelIo(device_);
    DWORD count = 0;
    if (!GetOverlappedResult(device_, &overlapped_, &count, TRUE)) return false;
    report_ = buffer_;  // it completed before the cancel reached it
    return true;
  }

  const std::vector<uint8_t>& report() const override { return report_; }

 private:
  win32::THandle done_;
  win32::THandle wake_;
  HANDLE device_ = nullptr;
  OVERLAPPED overlapped_{};
  bool pending_ = false;
  std::vector<uint8_t> buffer_;
  std::vector<uint8_t> report_;
};

// One of a device's strings as hid.dll gives it; nullopt when it gives none.
std::optional<std::wstring> device_string(HANDLE h, StringKind kind) {
  wchar_t buffer[kStringBufferChars + 1] = {};
  constexpr ULONG bytes = kStringBufferChars * sizeof(wchar_t);
  BOOLEAN ok = FALSE;
  switch (kind) {
    case StringKind::Manufacturer: ok = HidD_GetManufacturerString(h, buffer, bytes); break;
    case StringKind::Product: ok = HidD_GetProductString(h, buffer, bytes); break;
    case StringKind::SerialNumber: ok = HidD_GetSerialNumberString(h, buffer, bytes); break;
  }
  if (!ok) return std::nullopt;
  // A string that fills the whole buffer comes without its NUL; the spare
  // element above terminates it.
  return std::wstring(buffer);
}

// The record keeps the ANSI code page.
std::optional<std::string> ansi(const std::optional<std::wstring>& text) {
  if (!text) return std::nullopt;
  return win32::wide_to_ansi(*text);
}

std::optional<std::string> utf8(const std::optional<std::wstring>& text) {
  if (!text) return std::nullopt;
  return win32::wide_to_utf8(*text);
}

class Win32Platform final : public HidPlatform {
 public:
  bool enumerate(std::vector<std::string>& paths) override {
    GUID guid;
    HidD_GetHidGuid(&guid);
    const win32::TOwner<TDeviceListTraits> list(
        SetupDiGetClassDevsA(&guid, nullptr, GetDesktopWindow(), DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!list) return false;
    const HDEVINFO set = list.get();
    for (DWORD member = 0;; ++member) {
      SP_DEVICE_INTERFACE_DATA data{};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, member, &data)) break;
      DWORD required = 0;
      SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
      if (required == 0) continue;
      std::vector<DWORD> buffer((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
      // The size field holds the record's fixed size on this platform, not the buffer's.
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      SP_DEVINFO_DATA info{};
      info.cbSize = sizeof info;
      if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, &info)) continue;
      // The path in the ANSI code page, as the device record keeps it.
      paths.emplace_back(detail->DevicePath);
    }
    return true;
  }

  HidHandle open(const std::string& path, OpenMode mode) override {
    const bool read_write = mode == OpenMode::ProbeReadWrite || mode == OpenMode::ReadWrite;
    const bool overlapped = mode == OpenMode::ReadWrite || mode == OpenMode::Query;
    HANDLE handle = CreateFileW(win32::ansi_to_wide(path).c_str(), read_write ? GENERIC_READ | GENERIC_WRITE : 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return HID_NO_HANDLE;
    return from_win_handle(handle);
  }

  void close(HidHandle handle) override { CloseHandle(to_win_handle(handle)); }

  bool attributes(HidHandle handle, HidAttributes& out) override {
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!HidD_GetAttributes(to_win_handle(handle), &attributes)) return false;
    out.VendorID = attributes.VendorID;
    out.ProductID = attributes.ProductID;
    out.VersionNumber = attributes.VersionNumber;
    return true;
  }

  std::optional<std::string> string(HidHandle handle, StringKind kind) override {
    const HANDLE h = to_win_handle(handle);
    const auto text = device_string(h, kind);
    if (kind == StringKind::SerialNumber || !running_under_wine()) return ansi(text);
    // Under Wine a hidraw device's manufacturer and product strings are
    // Wine's own: the record holds the USB device's (WineStrings.h).
    const auto manufacturer = kind == StringKind::Manufacturer ? text : device_string(h, StringKind::Manufacturer);
    if (manufacturer != std::wstring(wine::kHidrawManufacturer.begin(), wine::kHidrawManufacturer.end()))
      return ansi(text);
    wine::DeviceStrings reported;
    reported.manufacturer = utf8(manufacturer);
    reported.product = utf8(kind == StringKind::Product ? text : device_string(h, StringKind::Product));
    reported.serial = utf8(device_string(h, StringKind::SerialNumber));
    HidAttributes ids;
    if (attributes(handle, ids)) {
      reported.vendor_id = ids.VendorID;
      reported.product_id = ids.ProductID;
    }
    const wine::TrueStrings truth = wine::true_strings(true, reported, &wine_sysfs());
    const auto& chosen = kind == StringKind::Manufacturer ? truth.manufacturer : truth.product;
    if (!chosen) return std::nullopt;
    return win32::utf8_to_ansi(*chosen);
  }

  bool set_num_input_buffers(HidHandle handle, uint32_t count) override {
    return HidD_SetNumInputBuffers(to_win_handle(handle), count) != FALSE;
  }

  bool report_layout(HidHandle handle, HidReportLayout& out) override {
    PHIDP_PREPARSED_DATA data = nullptr;
    if (!HidD_GetPreparsedData(to_win_handle(handle), &data)) return false;
    const win32::TOwner<TPreparsedTraits> owner(data);
    const PHIDP_PREPARSED_DATA preparsed = owner.get();
    HIDP_CAPS caps{};
    HidP_GetCaps(preparsed, &caps);
    out.InputReportByteLength = caps.InputReportByteLength;
    out.OutputReportByteLength = caps.OutputReportByteLength;
    out.FeatureReportByteLength = caps.FeatureReportByteLength;
    const HIDP_REPORT_TYPE types[3] = {HidP_Input, HidP_Output, HidP_Feature};
    for (int type = 0; type < 3; ++type) {
      HIDP_VALUE_CAPS values[HID_VALUE_CAPS_ASKED] = {};
      USHORT count = HID_VALUE_CAPS_ASKED;
      ValueCapsAnswer& answer = out.Values[type];
      answer.Status = static_cast<uint32_t>(
          HidP_GetSpecificValueCaps(types[type], 0, 0, 0, values, &count, preparsed));
      answer.Count = count;
      for (int j = 0; j < std::min<int>(count, HID_VALUE_CAPS_ASKED); ++j) {
        const HIDP_VALUE_CAPS& value = values[j];
        answer.Caps[j].Usage = value.IsRange ? value.Range.UsageMin : value.NotRange.Usage;
        answer.Caps[j].ReportID = value.ReportID;
        answer.Caps[j].BitSize = value.BitSize;
        answer.Caps[j].ReportCount = value.ReportCount;
      }
    }
    return true;
  }

  bool write_report(HidHandle handle, const uint8_t* data, uint16_t length,
                    uint32_t timeout_ms) override {
    Transfer transfer;
    if (!transfer.ok()) return false;
    HANDLE device = to_win_handle(handle);
    SetLastError(ERROR_SUCCESS);
    const bool in_flight =
        WriteFile(device, data, length, nullptr, transfer.overlapped()) || GetLastError() == ERROR_IO_PENDING;
    if (!in_flight) {
      // A removed device fails the call at once and never signals: the
      // caller still sees the full wait, as for a write that never completes.
      Sleep(timeout_ms);
      return false;
    }
    return transfer.finish(device, true, timeout_ms);
  }

  bool read_report_nowait(HidHandle handle, uint8_t* buffer, uint16_t length) override {
    Transfer transfer;
    if (!transfer.ok()) return false;
    std::vector<uint8_t> taken(length, 0);
    HANDLE device = to_win_handle(handle);
    SetLastError(ERROR_SUCCESS);
    const bool in_flight =
        ReadFile(device, taken.data(), length, nullptr, transfer.overlapped()) || GetLastError() == ERROR_IO_PENDING;
    if (!transfer.finish(device, in_flight, 0)) return false;
    std::memcpy(buffer, taken.data(), length);
    return true;
  }

  std::unique_ptr<ReadWaiter> make_read_waiter() override { return std::make_unique<Win32ReadWaiter>(); }

  bool set_output_report(HidHandle handle, void* buffer, uint16_t length) override {
    return HidD_SetOutputReport(to_win_handle(handle), buffer, length) != FALSE;
  }
  bool get_input_report(HidHandle handle, void* buffer, uint16_t length) override {
    return HidD_GetInputReport(to_win_handle(handle), buffer, length) != FALSE;
  }
  bool set_feature(HidHandle handle, void* buffer, uint16_t length) override {
    return HidD_SetFeature(to_win_handle(handle), buffer, length) != FALSE;
  }
  bool get_feature(HidHandle handle, void* buffer, uint16_t length) override {
    return HidD_GetFeature(to_win_handle(handle), buffer, length) != FALSE;
  }
};

}  // namespace

std::unique_ptr<HidPlatform> make_win32_platform() { return std::make_unique<Win32Platform>(); }

}  // namespace hidlib
