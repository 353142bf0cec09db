// Delivery latency of the read thread on the simulated platform: from a
// report's arrival in the device's buffer to the report handler's call on the
// read thread. Reported per report, with the median over every report taken.
#include "HidExports.h"
#include "LoadedLibrary.h"
#include "SimPlatform.h"

#include <benchmark/benchmark.h>

#include <thread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<int64_t> handled_at{0};

void HIDAPI_CALL on_report(THIDReport, uint8_t) {
  handled_at.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
}

void BM_ReportArrivalToHandler(benchmark::State& state) {
  hidlib::SimPlatform bus;
  hidlib::SimDeviceConfig config;
  config.path = "bench";
  config.vendor_id = 0x1FC9;
  config.product_id = 0x0540;
  config.input_length = 65;
  config.output_length = 65;
  auto device = std::make_shared<hidlib::SimDevice>(config);
  bus.plug(device);
  hidlib::LoadedLibrary loaded(bus);
  HIDscanForDevices();
  HIDopenDevice(0);
  HIDsetEventHandler(&on_report);
  std::vector<double> latencies_us;
  const std::vector<uint8_t> report(65, 1);
  for (auto _ : state) {
    // The read thread is asleep on its pending read when the report comes.
    while (bus.pending_reads() == 0) std::this_thread::yield();
    handled_at = 0;
    const auto arrived = Clock::now();
    device->queue_input_report(report);
    int64_t at;
    while ((at = handled_at.load(std::memory_order_acquire)) == 0) {
    }
    latencies_us.push_back(std::chrono::duration<double, std::micro>(
                               Clock::time_point(Clock::duration(at)) - arrived)
                               .count());
  }
  HIDsetEventHandler(nullptr);
  std::sort(latencies_us.begin(), latencies_us.end());
  state.counters["median_us"] = latencies_us[latencies_us.size() / 2];
  state.counters["p90_us"] = latencies_us[latencies_us.size() * 9 / 10];
}
BENCHMARK(BM_ReportArrivalToHandler)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
