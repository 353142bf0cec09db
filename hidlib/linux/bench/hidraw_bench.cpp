// The hidraw platform's host-side cost, natively: the node is one end of a
// SOCK_SEQPACKET socket pair (fake_hidraw.h), so what is timed is the
// platform and the library, not a bus.
//   BM_HidrawReportDelivery   a report written into the node until the report
//                             handler runs on the read thread (poll wakes, one
//                             read, the library's delivery); median and p99
//   BM_HidrawIdleWithUnitOpen CPU of the whole process over 2 s with a unit
//                             open, a read pending and the device change
//                             watch running, nothing arriving
#include "HidExports.h"
#include "HidrawPlatform.h"
#include "LoadedLibrary.h"
#include "fake_hidraw.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<int64_t> handled_at{0};

void HIDAPI_CALL on_report(THIDReport, uint8_t) {
  handled_at.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
}

struct OpenUnit {
  std::shared_ptr<hidlib::testing::FakeState> state = std::make_shared<hidlib::testing::FakeState>();
  std::unique_ptr<hidlib::HidrawPlatform> platform;
  std::unique_ptr<hidlib::LoadedLibrary> loaded;
  int device = -1;
  OpenUnit() {
    state->nodes = {{"/dev/hidraw0", hidlib::testing::usb_unit("VX540K-000001")}};
    platform = std::make_unique<hidlib::HidrawPlatform>(std::make_unique<hidlib::testing::FakeSystem>(state));
    loaded = std::make_unique<hidlib::LoadedLibrary>(*platform);
    HIDscanForDevices();
    HIDopenDevice(0);
    HIDsetEventHandler(&on_report);
    device = state->nodes[0].device_end;
  }
  ~OpenUnit() { HIDsetEventHandler(nullptr); }
};

void BM_HidrawReportDelivery(benchmark::State& state) {
  OpenUnit unit;
  std::vector<double> latencies_us;
  uint8_t report[65] = {1};
  for (auto _ : state) {
    handled_at = 0;
    const auto sent = Clock::now();
    if (::send(unit.device, report, sizeof report, 0) != sizeof report) state.SkipWithError("send failed");
    int64_t at;
    while ((at = handled_at.load(std::memory_order_acquire)) == 0) {
    }
    latencies_us.push_back(
        std::chrono::duration<double, std::micro>(Clock::time_point(Clock::duration(at)) - sent).count());
    // The read thread back in its poll before the next report, as between a unit's reports.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::sort(latencies_us.begin(), latencies_us.end());
  state.counters["median_us"] = latencies_us[latencies_us.size() / 2];
  state.counters["p99_us"] = latencies_us[latencies_us.size() * 99 / 100];
}
BENCHMARK(BM_HidrawReportDelivery)->Iterations(3000)->Unit(benchmark::kMicrosecond);

double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + 1e-6 * (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

void BM_HidrawIdleWithUnitOpen(benchmark::State& state) {
  OpenUnit unit;
  for (auto _ : state) {
    const double before = process_cpu_seconds();
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    state.counters["cpu_percent"] = 100 * (process_cpu_seconds() - before) / wall;
  }
}
BENCHMARK(BM_HidrawIdleWithUnitOpen)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
