// The DLL shell over a simulated device, under Windows: reports travel from
// the host through the exports to the device and back through the read thread
// to the host's handler; device changes on the simulated bus arrive as
// WM_DEVICECHANGE at the library's window; a throwing handler stays inside.
#include "HIDinterface.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace {

HMODULE library() {
  static HMODULE module = LoadLibraryA("echo\\HID_Lib.dll");
  return module;
}

template <typename T>
T bind(const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(library(), name)));
}

std::mutex mutex;
std::vector<THIDReport> received;
std::vector<uint8_t> counts;
std::atomic<DWORD> report_thread{0};
std::atomic<bool> throw_in_handler{false};
std::atomic<int> handler_calls{0};

void HIDAPI_CALL on_report(THIDReport report, uint8_t count) {
  ++handler_calls;
  report_thread = GetCurrentThreadId();
  if (throw_in_handler) throw std::runtime_error("host failure");
  std::lock_guard lock(mutex);
  received.push_back(report);
  counts.push_back(count);
}

std::atomic<int> usb_calls{0};
void HIDAPI_CALL on_usb() { ++usb_calls; }

size_t received_count() {
  std::lock_guard lock(mutex);
  return received.size();
}

bool wait_until(const std::function<bool()>& done, DWORD ms) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms) return false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    Sleep(1);
  }
  return true;
}

THIDReport numbered(uint8_t n) {
  THIDReport report{};
  report.ReportID = 1;
  report.Data[0] = n;
  report.Data[63] = static_cast<uint8_t>(0xA0 + n);
  return report;
}

class EchoDll : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(library(), nullptr);
    scan = bind<THIDscanForDevices>("HIDscanForDevices");
    get_info = bind<THIDGetDeviceInfo>("HIDGetDeviceInfo");
    open = bind<THIDopenDevice>("HIDopenDevice");
    close = bind<THIDcloseDevice>("HIDcloseDevice");
    write = bind<THIDwriteDevice>("HIDwriteDevice");
    read = bind<THIDreadDevice>("HIDreadDevice");
    set_output = bind<THIDReportTransfer>("HIDSetOutputReport");
    set_handler = bind<THIDsetEventHandler>("HIDsetEventHandler");
    set_usb = bind<TUSBsetEventHandler>("USBsetEventHandler");
    close();
    ASSERT_EQ(scan(), 1);
    ASSERT_EQ(open(0), 1);
  }
  void TearDown() override { set_handler(nullptr); }

  THIDscanForDevices scan;
  THIDGetDeviceInfo get_info;
  THIDopenDevice open;
  THIDcloseDevice close;
  THIDwriteDevice write;
  THIDreadDevice read;
  THIDReportTransfer set_output;
  THIDsetEventHandler set_handler;
  TUSBsetEventHandler set_usb;
};

}  // namespace

TEST_F(EchoDll, ListsTheSimulatedDevice) {
  THIDDeviceInfo info;
  get_info(0, &info);
  EXPECT_EQ(hid_text(info.Manufacturer), "VORNIX");
  EXPECT_EQ(+info.ProductID, 0xE540);
  EXPECT_EQ(info.ReadWrite, 1);
}

TEST_F(EchoDll, ReportsComeBackThroughTheReadThreadInOrder) {
  {
    std::lock_guard lock(mutex);
    received.clear();
    counts.clear();
  }
  set_handler(&on_report);
  for (uint8_t n = 0; n < 20; ++n) {
    THIDReport report = numbered(n);
    if (n % 2 == 0) {
      EXPECT_EQ(set_output(&report), 64);
    } else {
      EXPECT_EQ(write(report), 64);
    }
  }
  ASSERT_TRUE(wait_until([] { return received_count() == 20; }, 3000)) << received_count();
  std::lock_guard lock(mutex);
  for (uint8_t n = 0; n < 20; ++n) {
    const THIDReport sent = numbered(n);
    EXPECT_EQ(std::memcmp(&received[n], &sent, sizeof sent), 0) << int(n);
    EXPECT_EQ(counts[n], 64);
  }
  EXPECT_NE(report_thread, GetCurrentThreadId());
}

TEST_F(EchoDll, BusChangesReachTheHandlerAsDeviceChangeMessages) {
  set_usb(&on_usb);
  usb_calls = 0;
  THIDReport replug = numbered(0xEE);
  replug.Data[0] = 0xEE;
  EXPECT_EQ(set_output(&replug), 64);
  // Three notifications for the removal, three for the arrival.
  ASSERT_TRUE(wait_until([] { return usb_calls == 6; }, 2000)) << usb_calls;
  // The open handle belonged to the removed device.
  THIDReport report = numbered(1);
  EXPECT_EQ(set_output(&report), 0);
  EXPECT_EQ(write(report), 0);
  // The host's answer to a change: close, scan, open again.
  EXPECT_EQ(close(), 1);
  EXPECT_EQ(scan(), 1);
  EXPECT_EQ(open(0), 1);
  EXPECT_EQ(set_output(&report), 64);
  set_usb(nullptr);
}

// Runs last: a throwing handler ends delivery for the life of the process.
TEST_F(EchoDll, ZZ_AThrowingHandlerEndsDeliveryWithoutCrossingTheBoundary) {
  set_handler(&on_report);
  throw_in_handler = true;
  handler_calls = 0;
  THIDReport first = numbered(1);
  EXPECT_EQ(set_output(&first), 64);
  ASSERT_TRUE(wait_until([] { return handler_calls == 1; }, 2000));
  THIDReport second = numbered(2);
  EXPECT_EQ(set_output(&second), 64);
  Sleep(300);
  EXPECT_EQ(handler_calls, 1);
  // The report waits in the buffer; the exports still work.
  THIDReport taken{};
  EXPECT_EQ(read(&taken), 64);
  EXPECT_EQ(taken.Data[0], 2);
}
