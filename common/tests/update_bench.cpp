// Benchmark: a whole update (64 KiB flash, 4 KiB EEPROM) through the real link
// (mailbox, worker, framing, report cutting) into the virtual MX-540KTR, bound
// in-process, with each output report costing the device's transfer time.
// Prints the total time, the device-bound minimum and the host's share.
//
//   update_bench [report_us=1000] [erase_us=0] [runs=3]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "DeviceModel.h"
#include "USB.h"
#include "UpdateLoop.h"
#include "link_testing.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex model_lock;
mxv::TDeviceModel* model = nullptr;
Clock::time_point start_time;
uint64_t reports = 0, erases = 0, device_us = 0;
// Wall time spent inside the device's report calls, oversleeping included:
// the rest of the update's time is the host's own (link, loop, scheduling).
std::atomic<int64_t> in_device_ns{0};

uint64_t now_ms() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_time).count());
}

// Spends the device's time precisely: sleeping alone overshoots by tens of
// microseconds, which would be charged to the host.
void spend(uint32_t us) {
  const auto until = Clock::now() + std::chrono::microseconds(us);
  if (us > 300) std::this_thread::sleep_until(until - std::chrono::microseconds(200));
  while (Clock::now() < until) {
  }
}

uint8_t HIDAPI_CALL set_output_report(void* buffer) {
  const auto entered = Clock::now();
  mxv::TReportOutcome outcome;
  {
    std::lock_guard guard(model_lock);
    const auto* report = static_cast<const uint8_t*>(buffer);
    outcome = model->output_report(report, hid_report_len, now_ms());
    model->take_input_reports();   // replies are not needed here
    ++reports;
    device_us += outcome.cost_us;
  }
  spend(outcome.cost_us);
  in_device_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - entered).count();
  return outcome.accepted ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const uint32_t report_us = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 1000;
  const uint32_t erase_us = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 0;
  const int runs = argc > 3 ? std::atoi(argv[3]) : 3;

  std::mt19937 gen(7);
  std::vector<uint8_t> flash(64 * 1024), eeprom(4 * 1024);
  for (auto& b : flash) b = static_cast<uint8_t>(gen());
  for (auto& b : eeprom) b = static_cast<uint8_t>(gen());

  std::printf("update of %zu flash + %zu EEPROM bytes, %u us per output report, %u us per erase\n", flash.size(),
              eeprom.size(), report_us, erase_us);
  int status = 0;
  for (int run = 0; run < runs; ++run) {
    mxv::TDeviceModel device;
    device.timing.report_us = report_us;
    device.timing.erase_us = erase_us;
    start_time = Clock::now();
    device.reenumerate(0, mxv::TMode::boot, mxv::factory_version, 0);
    while (auto due = device.next_due_ms()) device.poll(*due);
    model = &device;
    reports = erases = device_us = 0;
    in_device_ns = 0;

    link_reset_for_tests();
    THIDEntries entries;
    entries.HIDSetOutputReport = set_output_report;
    link_bind_entries(entries, hid_report_len, true);
    boot_mode = true;
    link_start_worker();

    UpdatePoster poster;
    poster.write_flash = [](uint16_t adr, const uint8_t* b, size_t n) { return write_flash(adr, b, n); };
    poster.write_eep = [](uint16_t adr, const uint8_t* b, size_t n) { return write_eep(adr, b, n); };
    poster.finish = [] { post_request(cmd_finish); };
    poster.progress = [](int) {};

    const auto t0 = Clock::now();
    const UpdateOutcome outcome = run_update(flash, eeprom, poster);
    while (send_pending) std::this_thread::sleep_for(std::chrono::microseconds(50));   // cmd_finish out
    const double total_ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();

    bool same;
    {
      std::lock_guard guard(model_lock);
      same = std::equal(flash.begin(), flash.end(), device.flash().begin()) &&
             std::equal(eeprom.begin(), eeprom.end(), device.eeprom().begin());
      erases = 0;
      for (const auto& f : device.log()) erases += f.cmd == mxv::cmd_erase;
    }
    link_reset_for_tests();
    model = nullptr;

    const double device_ms = static_cast<double>(device_us) / 1000.0;
    const double in_device_ms = static_cast<double>(in_device_ns.load()) / 1e6;
    const double host_ms = total_ms - in_device_ms;
    std::printf("run %d: %s, images %s; %llu reports (%llu erases), device-bound minimum %.1f ms, total %.1f ms "
                "(%.2f %% over the minimum); in device calls %.1f ms, host's own %.1f ms = %.2f %% of the total\n",
                run + 1, outcome == UpdateOutcome::finished ? "finished" : "FAILED", same ? "equal" : "DIFFER",
                static_cast<unsigned long long>(reports), static_cast<unsigned long long>(erases), device_ms, total_ms,
                (total_ms - device_ms) / total_ms * 100.0, in_device_ms, host_ms, host_ms / total_ms * 100.0);
    if (outcome != UpdateOutcome::finished || !same) status = 1;
  }
  return status;
}
