// Report delivery by the read thread, device-change delivery on the pumping
// thread, and the handle's safety while the host closes and rescans.
#include "SimFixture.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace hidlib;
using namespace hidlib::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Handlers are plain functions, as across the library boundary; they record here.
struct Delivered {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> reports;
  std::vector<uint8_t> counts;
  std::vector<std::thread::id> threads;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<bool> throw_next{false};
  Clock::time_point first{};

  void reset() {
    std::lock_guard lock(mutex);
    reports.clear();
    counts.clear();
    threads.clear();
    inside = 0;
    overlaps = 0;
    throw_next = false;
    first = {};
  }
  size_t size() {
    std::lock_guard lock(mutex);
    return reports.size();
  }
};
Delivered delivered;

void HIDAPI_CALL on_report(THIDReport report, uint8_t count) {
  if (delivered.inside.fetch_add(1) != 0) ++delivered.overlaps;
  if (delivered.throw_next.exchange(false)) {
    --delivered.inside;
    throw std::runtime_error("host failure");
  }
  {
    std::lock_guard lock(delivered.mutex);
    if (delivered.reports.empty()) delivered.first = Clock::now();
    const auto* bytes = reinterpret_cast<const uint8_t*>(&report);
    delivered.reports.emplace_back(bytes, bytes + sizeof report);
    delivered.counts.push_back(count);
    delivered.threads.push_back(std::this_thread::get_id());
  }
  std::this_thread::sleep_for(200us);  // a handler that takes a moment
  --delivered.inside;
}

std::atomic<int> usb_calls{0};
std::thread::id usb_thread;
void HIDAPI_CALL on_usb() {
  ++usb_calls;
  usb_thread = std::this_thread::get_id();
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class ReadThread : public SimLibraryTest {
 protected:
  void SetUp() override {
    SimLibraryTest::SetUp();
    delivered.reset();
    usb_calls = 0;
    device = plug(vendor_device("a"));
    ASSERT_EQ(HIDscanForDevices(), 1);
  }
  void TearDown() override {
    HIDsetEventHandler(nullptr);
    USBsetEventHandler(nullptr);
    SimLibraryTest::TearDown();
  }
  void queue(uint8_t id, uint8_t seq) { device->queue_input_report(std::vector<uint8_t>{id, seq}); }

  std::shared_ptr<SimDevice> device;
};

}  // namespace

TEST_F(ReadThread, ReadsNothingWithoutAHandlerAndStartsSoonAfterOne) {
  ASSERT_EQ(HIDopenDevice(0), 1);
  queue(1, 0);
  std::this_thread::sleep_for(250ms);
  EXPECT_EQ(bus.read_calls(), 0u) << "no handler, no reads: reports wait in the driver's buffer";

  const auto registered = Clock::now();
  HIDsetEventHandler(&on_report);
  ASSERT_TRUE(wait_for([] { return delivered.size() == 1; }, 2s));
  // The thread looks for a handler every 100 ms.
  EXPECT_LT(delivered.first - registered, 200ms);
  EXPECT_EQ(delivered.counts[0], 64);
  EXPECT_EQ(delivered.reports[0][0], 1);
  EXPECT_NE(delivered.threads[0], std::this_thread::get_id()) << "delivered on the read thread";
}

TEST_F(ReadThread, DeliversEveryReportInOrderOneAtATime) {
  HIDsetEventHandler(&on_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  // The driver keeps 64; more than that while nobody reads would drop the oldest.
  for (int i = 0; i < 64; ++i) queue(1, static_cast<uint8_t>(i));
  ASSERT_TRUE(wait_for([] { return delivered.size() == 64; }, 5s)) << delivered.size();
  // Then a steady stream that never overruns the driver's buffer, however
  // coarse the platform's sleep is.
  for (int i = 64; i < 200; ++i) {
    ASSERT_TRUE(wait_for([i] { return i - static_cast<int>(delivered.size()) < 48; }, 5s));
    queue(1, static_cast<uint8_t>(i));
  }
  ASSERT_TRUE(wait_for([] { return delivered.size() == 200; }, 10s)) << delivered.size();
  std::this_thread::sleep_for(50ms);
  std::lock_guard lock(delivered.mutex);
  ASSERT_EQ(delivered.reports.size(), 200u);
  for (size_t i = 0; i < delivered.reports.size(); ++i) ASSERT_EQ(delivered.reports[i][1], i) << i;
  EXPECT_EQ(delivered.overlaps, 0);
}

TEST_F(ReadThread, StopsReadingAfterCloseAndIdles) {
  HIDsetEventHandler(&on_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  queue(1, 1);
  ASSERT_TRUE(wait_for([] { return delivered.size() == 1; }, 2s));
  ASSERT_EQ(HIDcloseDevice(), 1);
  std::this_thread::sleep_for(20ms);  // one pass at most may still run
  const uint64_t reads = bus.read_calls();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(bus.read_calls(), reads);
  EXPECT_EQ(delivered.size(), 1u);
  EXPECT_EQ(bus.open_handle_count(), 0u);
}

TEST_F(ReadThread, WaitsWithOneReadPendingInsteadOfPolling) {
  HIDsetEventHandler(&on_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  ASSERT_TRUE(wait_for([this] { return bus.pending_reads() == 1; }, 2s));
  // Idle: the one read stays pending, nothing is started again.
  const uint64_t reads = bus.read_calls();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(bus.read_calls(), reads) << "the read thread polls";
  EXPECT_EQ(bus.pending_reads(), 1u);
  // A report ends the wait at once, and the next read is pending again.
  for (uint8_t seq = 0; seq < 3; ++seq) {
    queue(1, seq);
    ASSERT_TRUE(wait_for([seq] { return delivered.size() == seq + 1u; }, 2s));
  }
  EXPECT_TRUE(wait_for([this] { return bus.pending_reads() == 1; }, 2s));
  EXPECT_EQ(bus.read_calls(), reads + 3);
  // Removing the handler withdraws the read: reports wait in the driver again.
  HIDsetEventHandler(nullptr);
  ASSERT_TRUE(wait_for([this] { return bus.pending_reads() == 0; }, 2s));
  queue(1, 9);
  THIDReport report{};
  EXPECT_EQ(HIDreadDevice(&report), 64);
  EXPECT_EQ(report.Data[0], 9);
  EXPECT_EQ(delivered.size(), 3u);
}

TEST_F(ReadThread, CloseOrUnplugWhileAReadIsPendingEndsItWithoutDeliveringOrSpinning) {
  HIDsetEventHandler(&on_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  ASSERT_TRUE(wait_for([this] { return bus.pending_reads() == 1; }, 2s));

  // Close: the read is withdrawn, then the handle is closed.
  ASSERT_EQ(HIDcloseDevice(), 1);
  ASSERT_TRUE(wait_for([this] { return bus.open_handle_count() == 0; }, 2s));
  EXPECT_EQ(bus.pending_reads(), 0u);
  EXPECT_EQ(bus.stale_handle_uses(), 0u);

  // Unplug: the pending read ends without a report, and the removed device is
  // not read again until the host has closed and reopened.
  ASSERT_EQ(HIDopenDevice(0), 1);
  ASSERT_TRUE(wait_for([this] { return bus.pending_reads() == 1; }, 2s));
  bus.unplug(device);
  ASSERT_TRUE(wait_for([this] { return bus.pending_reads() == 0; }, 2s));
  const uint64_t reads = bus.read_calls();
  std::this_thread::sleep_for(100ms);
  EXPECT_LE(bus.read_calls(), reads + 1) << "reads a removed device over and over";
  EXPECT_EQ(delivered.size(), 0u);

  bus.plug(device);
  ASSERT_EQ(HIDcloseDevice(), 1);
  ASSERT_EQ(HIDscanForDevices(), 1);
  ASSERT_EQ(HIDopenDevice(0), 1);
  ASSERT_TRUE(wait_for([this] { return bus.pending_reads() == 1; }, 2s));
  queue(1, 7);
  ASSERT_TRUE(wait_for([] { return delivered.size() == 1; }, 2s));
  EXPECT_EQ(delivered.reports[0][1], 7);
}

// The moment between a read taking a report and its delivery: the host
// removes the handler or closes the device just then.
TEST_F(ReadThread, AReportInHandGoesToTheNextTakerOnlyWhileItsDeviceStaysOpen) {
  HIDsetEventHandler(&on_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  ASSERT_TRUE(wait_for([this] { return bus.pending_reads() == 1; }, 2s));

  std::atomic<bool> removed{false};
  bus.set_report_taken_hook([this, &removed] {
    HIDsetEventHandler(nullptr);
    bus.set_report_taken_hook(nullptr);
    removed = true;
  });
  queue(1, 1);
  ASSERT_TRUE(wait_for([&] { return removed.load(); }, 2s));
  queue(1, 2);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(delivered.size(), 0u) << "delivered after the handler was removed";
  // Kept, and still the oldest: the next handler gets it first.
  HIDsetEventHandler(&on_report);
  ASSERT_TRUE(wait_for([] { return delivered.size() == 2; }, 2s));
  EXPECT_EQ(delivered.reports[0][1], 1);
  EXPECT_EQ(delivered.reports[1][1], 2);

  bus.set_report_taken_hook([this] {
    HIDcloseDevice();
    bus.set_report_taken_hook(nullptr);
  });
  queue(1, 3);
  ASSERT_TRUE(wait_for([this] { return bus.open_handle_count() == 0; }, 2s));
  ASSERT_EQ(HIDopenDevice(0), 1);
  queue(1, 4);
  ASSERT_TRUE(wait_for([] { return delivered.size() >= 3; }, 2s));
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(delivered.size(), 3u);
  EXPECT_EQ(delivered.reports[2][1], 4) << "a closed device's report was delivered";
}

TEST_F(ReadThread, OpeningAnotherDeviceDropsAReportHeldFromTheFirst) {
  auto second = plug(vendor_device("b"));
  ASSERT_EQ(HIDscanForDevices(), 2);
  HIDsetEventHandler(&on_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  ASSERT_TRUE(wait_for([this] { return bus.pending_reads() == 1; }, 2s));
  // Device 0's report is taken just as the handler goes: it waits in hand.
  bus.set_report_taken_hook([this] {
    HIDsetEventHandler(nullptr);
    bus.set_report_taken_hook(nullptr);
  });
  queue(1, 1);
  ASSERT_TRUE(wait_for([this] { return loaded->library().holds_report(); }, 2s));

  ASSERT_EQ(HIDopenDevice(1), 1);
  EXPECT_FALSE(loaded->library().holds_report());
  HIDsetEventHandler(&on_report);
  second->queue_input_report(std::vector<uint8_t>{1, 2});
  ASSERT_TRUE(wait_for([] { return delivered.size() >= 1; }, 2s));
  EXPECT_EQ(delivered.reports[0][1], 2) << "device 0's report reached the host after device 1 was opened";
}

TEST_F(ReadThread, HostReadsAndTheReadThreadTakeEachReportExactlyOnce) {
  HIDsetEventHandler(&on_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  std::vector<uint8_t> taken_by_host;  // the host thread's until it is joined
  std::atomic<size_t> host_count{0};
  std::atomic<bool> done{false};
  std::thread host([&] {
    THIDReport report{};
    while (!done) {
      if (HIDreadDevice(&report) == 0) continue;
      taken_by_host.push_back(report.Data[0]);
      ++host_count;
    }
  });
  // Never more than the driver's 64 waiting, however slow the takers are.
  bool all = true;
  for (int i = 0; i < 200 && all; ++i) {
    all = wait_for([&] { return i - static_cast<int>(delivered.size() + host_count) < 48; }, 5s);
    queue(1, static_cast<uint8_t>(i));
  }
  all = all && wait_for([&] { return delivered.size() + host_count >= 200; }, 5s);
  done = true;
  host.join();
  ASSERT_TRUE(all) << delivered.size() << " + " << taken_by_host.size();
  std::vector<int> seen(200, 0);
  for (uint8_t seq : taken_by_host) ++seen[seq];
  {
    std::lock_guard lock(delivered.mutex);
    for (const auto& r : delivered.reports) ++seen[r[1]];
  }
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], 1) << i;
}

std::atomic<bool> handler_inside{false};
std::atomic<bool> handler_release{false};
void HIDAPI_CALL blocking_report(THIDReport, uint8_t) {
  handler_inside = true;
  while (!handler_release) std::this_thread::sleep_for(1ms);
  handler_inside = false;
}

TEST_F(ReadThread, ACloseDuringALongHandlerClosesTheHandleAtOnce) {
  handler_release = false;
  HIDsetEventHandler(&blocking_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  queue(1, 1);
  ASSERT_TRUE(wait_for([] { return handler_inside.load(); }, 2s));
  ASSERT_EQ(HIDcloseDevice(), 1);
  EXPECT_TRUE(wait_for([this] { return bus.open_handle_count() == 0; }, 2s)) << "held open by the handler's call";
  EXPECT_TRUE(handler_inside);
  handler_release = true;
  EXPECT_TRUE(wait_for([] { return !handler_inside; }, 2s));
}

TEST_F(ReadThread, AThrowingHandlerEndsDeliveryQuietly) {
  HIDsetEventHandler(&on_report);
  ASSERT_EQ(HIDopenDevice(0), 1);
  queue(1, 1);
  ASSERT_TRUE(wait_for([] { return delivered.size() == 1; }, 2s));
  delivered.throw_next = true;
  queue(1, 2);
  ASSERT_TRUE(wait_for([this] { return !loaded->read_thread_running(); }, 2s));
  queue(1, 3);
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(delivered.size(), 1u);
  // The exports go on working.
  THIDReport report{};
  EXPECT_EQ(HIDreadDevice(&report), 64);
  EXPECT_EQ(report.Data[0], 3);
}

TEST_F(ReadThread, DeviceChangesReachTheHandlerOnThePumpingThread) {
  loaded->pump_device_changes();  // the fixture's own plug
  bus.set_notifications_per_change(3);
  auto other = std::make_shared<SimDevice>(vendor_device("b"));
  bus.plug(other);
  EXPECT_EQ(loaded->pump_device_changes(), 3) << "posted, waiting for the loading thread";
  EXPECT_EQ(usb_calls, 0) << "none registered: only default handling";

  USBsetEventHandler(&on_usb);
  bus.unplug(other);
  EXPECT_EQ(usb_calls, 0) << "nothing runs before the loading thread dispatches";
  EXPECT_EQ(loaded->pump_device_changes(), 3);
  EXPECT_EQ(usb_calls, 3);
  EXPECT_EQ(usb_thread, std::this_thread::get_id());

  // A plug from another thread (as a device model does) is still handled here.
  std::thread([&] { bus.plug(other); }).join();
  EXPECT_EQ(loaded->wait_and_pump_device_changes(1s), 3);
  EXPECT_EQ(usb_calls, 6);
  EXPECT_EQ(usb_thread, std::this_thread::get_id());
  // The library does nothing else on a change.
  EXPECT_EQ(loaded->library().current_device(), -1);
  EXPECT_EQ(HIDscanForDevices(), 2);
}

// The host closes, reopens and rescans on one thread and sends on another while
// the read thread delivers: no transfer may ever name a closed handle.
TEST_F(ReadThread, CloseAndRescanNeverPullTheHandleFromUnderATransfer) {
  HIDsetEventHandler(&on_report);
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    uint8_t seq = 0;
    while (!stop) {
      queue(1, seq++);
      std::this_thread::sleep_for(100us);
    }
  });
  std::thread sender([&] {
    uint8_t buffer[65] = {1};
    while (!stop) {
      HIDSetOutputReport(buffer);
      HIDGetInputReport(buffer);
    }
  });
  // Enough rounds to interleave with the read thread's passes, and long enough
  // for deliveries to happen in between.
  const auto deadline = Clock::now() + 5s;
  for (int round = 0; round < 150 || (delivered.size() < 20 && Clock::now() < deadline); ++round) {
    HIDcloseDevice();
    if (round % 3 == 0) HIDscanForDevices();
    HIDopenDevice(0);
    std::this_thread::sleep_for(std::chrono::microseconds(500 + 37 * (round % 20)));
  }
  stop = true;
  feeder.join();
  sender.join();
  HIDcloseDevice();
  EXPECT_EQ(bus.stale_handle_uses(), 0u);
  EXPECT_TRUE(wait_for([this] { return bus.open_handle_count() == 0; }, 1s));
  EXPECT_GE(delivered.size(), 20u);
  EXPECT_EQ(delivered.overlaps, 0);
}
