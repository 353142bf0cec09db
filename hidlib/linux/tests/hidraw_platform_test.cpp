// The hidraw platform under the real library, with the system side stood in
// for: nodes described as udev would describe them, and opened as one end of
// a SOCK_SEQPACKET socket pair, which keeps report boundaries as hidraw does
// (one read, one report; the far end closing is the node going away).
#include "HidExports.h"
#include "HidrawPlatform.h"
#include "LoadedLibrary.h"
#include "descriptors.h"
#include "fake_hidraw.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using namespace hidlib;
using namespace hidlib::testing;
using namespace std::chrono_literals;

// Waits up to 5 s for a datagram on the device's end.
Bytes take_report(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 5000) != 1) return {};
  Bytes buffer(200);
  const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
  buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buffer;
}

std::mutex delivered_mutex;
std::vector<std::pair<THIDReport, uint8_t>> delivered;
void HIDAPI_CALL on_report(THIDReport report, uint8_t count) {
  std::lock_guard lock(delivered_mutex);
  delivered.emplace_back(report, count);
}
bool wait_delivered(size_t n) {
  for (auto until = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(1ms)) {
    std::lock_guard lock(delivered_mutex);
    if (delivered.size() >= n) return true;
  }
  return false;
}

class Hidraw : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // a socket's far end closing stands for a node going away
    delivered.clear();
    platform = std::make_unique<HidrawPlatform>(std::make_unique<FakeSystem>(state));
  }
  void load() { loaded = std::make_unique<LoadedLibrary>(*platform); }
  void TearDown() override {
    HIDsetEventHandler(nullptr);
    loaded.reset();
    platform.reset();
  }
  static THIDDeviceInfo info(uint8_t index) {
    THIDDeviceInfo record;
    HIDGetDeviceInfo(index, &record);
    return record;
  }
  int device_end(size_t node) {
    std::lock_guard lock(state->mutex);
    return state->nodes[node].device_end;
  }

  std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
  std::unique_ptr<HidrawPlatform> platform;
  std::unique_ptr<LoadedLibrary> loaded;
};

TEST_F(Hidraw, ScanDescribesEveryNodeWithoutOpeningAny) {
  HidrawNodeInfo bluetooth;  // no USB device above it
  bluetooth.attributes = {0x1209, 0x540A, 0};
  bluetooth.product = "VORNIX MX-540KTR";
  bluetooth.serial = "a4:c1:38:00:00:01";
  bluetooth.descriptor = descriptors::mx540;
  state->nodes = {{"/dev/hidraw0", usb_unit("VX540K-000001")},
                  {"/dev/hidraw1", usb_unit("VX540K-000002"), /*may_open=*/false},
                  {"/dev/hidraw2", bluetooth}};
  load();
  ASSERT_EQ(HIDscanForDevices(), 3);
  EXPECT_EQ(state->opens, 0);

  const THIDDeviceInfo unit = info(0);
  EXPECT_EQ(hid_text(unit.DevicePath), std::string("/dev/hidraw0") + '\0');
  EXPECT_EQ(hid_text(unit.Manufacturer), "VORNIX");
  EXPECT_EQ(hid_text(unit.Product), "MX-540KTR");
  EXPECT_EQ(hid_text(unit.SerialNumber), "VX540K-000001");
  EXPECT_EQ(unit.VendorID, 0x1209);
  EXPECT_EQ(unit.ProductID, 0x540A);
  EXPECT_EQ(unit.VersionNumber, 0x0110);
  EXPECT_EQ(unit.InputReportByteLength, 65);
  EXPECT_EQ(unit.OutputReportByteLength, 65);
  EXPECT_EQ(unit.FeatureReportByteLength, 0);
  EXPECT_EQ(unit.InputItems[0].Usage, 1);
  EXPECT_EQ(unit.InputItems[0].ReportID, 1);
  EXPECT_EQ(unit.InputItems[0].ReportCount, 64);
  EXPECT_EQ(unit.OutputItems[0].Usage, 2);
  EXPECT_EQ(unit.ReadWrite, 1);
  EXPECT_EQ(unit.DeviceHandle, HID_NO_HANDLE);

  // Listed with everything, only marked as not to be opened read-write.
  EXPECT_EQ(info(1).ReadWrite, 0);
  EXPECT_EQ(hid_text(info(1).SerialNumber), "VX540K-000002");
  EXPECT_EQ(info(1).InputReportByteLength, 65);

  const THIDDeviceInfo other = info(2);
  EXPECT_EQ(other.Manufacturer.Length, 0);
  EXPECT_EQ(hid_text(other.Product), "VORNIX MX-540KTR");
  EXPECT_EQ(hid_text(other.SerialNumber), "a4:c1:38:00:00:01");
  EXPECT_EQ(other.VersionNumber, 0);
}

TEST_F(Hidraw, ReportsTravelWholeWithTheirIdByteNumberedOrNot) {
  struct Case {
    const char* name;
    Bytes descriptor;
    uint8_t id;
  } cases[] = {{"numbered", descriptors::mx540, 1}, {"unnumbered", descriptors::vendor_unnumbered, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    state->nodes = {{"/dev/hidraw0", usb_unit("S1", c.descriptor)}};
    load();
    ASSERT_EQ(HIDscanForDevices(), 1);
    ASSERT_EQ(HIDopenDevice(0), 1);
    HIDsetEventHandler(on_report);
    const int device = device_end(0);

    // Out: the whole report, ID byte first (hidraw drops an ID 0 itself).
    uint8_t out[65];
    for (int i = 0; i < 65; ++i) out[i] = static_cast<uint8_t>(i * 3);
    out[0] = c.id;
    EXPECT_EQ(HIDSetOutputReport(out), 64);
    EXPECT_EQ(take_report(device), Bytes(out, out + 65));
    THIDReport written{};
    written.ReportID = c.id;
    written.Data[0] = 0x5A;
    EXPECT_EQ(HIDwriteDevice(written), 64);
    EXPECT_EQ(take_report(device)[1], 0x5A);

    // In: hidraw gives unnumbered reports without an ID byte.
    Bytes in(64);
    for (int i = 0; i < 64; ++i) in[i] = static_cast<uint8_t>(200 - i);
    if (c.id) in.insert(in.begin(), c.id);
    ASSERT_EQ(::send(device, in.data(), in.size(), 0), static_cast<ssize_t>(in.size()));
    ASSERT_TRUE(wait_delivered(1));
    std::lock_guard lock(delivered_mutex);
    EXPECT_EQ(delivered[0].first.ReportID, c.id);
    EXPECT_EQ(delivered[0].first.Data[0], 200);
    EXPECT_EQ(delivered[0].first.Data[63], 137);
    EXPECT_EQ(delivered[0].second, 64);
  }
}

TEST_F(Hidraw, RefusedOpenIsKeptWithItsCause) {
  struct Case {
    int error;
    bool permission;
  } cases[] = {{EACCES, true}, {EPERM, true}, {ENOENT, false}, {ENODEV, false}, {EBUSY, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::strerror(c.error));
    TearDown();
    SetUp();
    state->nodes = {{"/dev/hidraw3", usb_unit("VX540K-000007")}};
    state->nodes[0].open_error = c.error;
    load();
    ASSERT_EQ(HIDscanForDevices(), 1);
    EXPECT_EQ(HIDopenDevice(0), 0);
    const auto refusal = platform->open_refusal("VX540K-000007");
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->path, "/dev/hidraw3");
    EXPECT_EQ(refusal->permission(), c.permission);
    EXPECT_FALSE(platform->open_refusal("VX540K-000008"));

    // Allowed now (the rule installed): the refusal is forgotten.
    state->nodes[0].open_error = 0;
    EXPECT_EQ(HIDopenDevice(0), 1);
    EXPECT_FALSE(platform->open_refusal("VX540K-000007"));
  }
}

TEST_F(Hidraw, ANodeThatGoesAwayEndsTheReadAndFailsTransfers) {
  state->nodes = {{"/dev/hidraw0", usb_unit("S1")}};
  load();
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  const HidHandle handle = info(0).DeviceHandle;
  ASSERT_NE(handle, HID_NO_HANDLE);

  auto waiter = platform->make_read_waiter();
  ASSERT_TRUE(waiter->start(handle, 65));
  ::close(device_end(0));
  state->nodes[0].device_end = -1;
  EXPECT_EQ(waiter->wait(), ReadWaiter::Wake::Failed);

  uint8_t out[65] = {1};
  EXPECT_EQ(HIDSetOutputReport(out), 0);
  THIDReport report{};
  EXPECT_EQ(HIDreadDevice(&report), 0);
}

TEST_F(Hidraw, TheReadWaitSleepsUntilAReportOrASignalAndLosesNothing) {
  state->nodes = {{"/dev/hidraw0", usb_unit("S1")}};
  load();
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  const HidHandle handle = info(0).DeviceHandle;
  const int device = device_end(0);
  auto waiter = platform->make_read_waiter();

  // Signals before a wait coalesce into one wake-up.
  waiter->signal();
  waiter->signal();
  EXPECT_EQ(waiter->wait(), ReadWaiter::Wake::Signalled);
  // With no read pending it sleeps until signalled from another thread.
  std::thread later([&] {
    std::this_thread::sleep_for(20ms);
    waiter->signal();
  });
  EXPECT_EQ(waiter->wait(), ReadWaiter::Wake::Signalled);
  later.join();

  // A report that is there wins over a signal.
  const uint8_t first[65] = {1, 0x11};
  ASSERT_EQ(::send(device, first, sizeof first, 0), 65);
  ASSERT_TRUE(waiter->start(handle, 65));
  waiter->signal();
  EXPECT_EQ(waiter->wait(), ReadWaiter::Wake::Report);
  EXPECT_EQ(waiter->report()[1], 0x11);
  EXPECT_EQ(waiter->wait(), ReadWaiter::Wake::Signalled);

  // A withdrawn read leaves the report in the node: the next read takes it.
  const uint8_t second[65] = {1, 0x22};
  ASSERT_TRUE(waiter->start(handle, 65));
  ASSERT_EQ(::send(device, second, sizeof second, 0), 65);
  EXPECT_FALSE(waiter->cancel());
  THIDReport report{};
  EXPECT_EQ(HIDreadDevice(&report), 64);
  EXPECT_EQ(report.Data[0], 0x22);
}

// Every node added or removed is one device change for the library, run on
// the thread that pumps them; or, for a host with a node change handler, a
// node change to decide about on its own thread.
TEST_F(Hidraw, NodeChangesAreDeviceChangesOrGoToTheHostsHandler) {
  state->nodes = {{"/dev/hidraw0", usb_unit("VX540K-000001")}, {"/dev/hidraw1", usb_unit("VX540K-000002")}};
  static std::atomic<int> handled;
  auto changed = [&] {
    std::lock_guard lock(state->mutex);
    return state->changed;
  };
  for (bool own_handler : {false, true}) {
    SCOPED_TRACE(own_handler ? "host's handler" : "library's device changes");
    TearDown();
    SetUp();
    std::vector<std::string> seen;
    if (own_handler)
      platform->set_node_change_handler([&](const NodeChange& c) { seen.push_back((c.added ? "+" : "-") + c.path); });
    load();
    handled = 0;
    ASSERT_EQ(HIDscanForDevices(), 2);
    USBsetEventHandler([] { ++handled; });
    ASSERT_TRUE(changed()) << "the library's shell watches the nodes";
    changed()(false, "/dev/hidraw0");
    changed()(true, "/dev/hidraw0");
    EXPECT_EQ(handled, 0) << "only the pumping thread runs the handler";
    if (own_handler) {
      EXPECT_EQ(seen, (std::vector<std::string>{"-/dev/hidraw0", "+/dev/hidraw0"}));
      EXPECT_EQ(loaded->pump_device_changes(), 0);
    } else {
      EXPECT_EQ(loaded->pump_device_changes(), 2);
      EXPECT_EQ(handled, 2);
    }
    USBsetEventHandler(nullptr);
  }
}

}  // namespace
