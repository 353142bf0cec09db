// Figures of the link worker:
//  - hand-over latency: from a post to the first output report of its frame;
//  - edit to write: from save() to the first report of the write carrying the
//    edit, over 1,000 edits while the 2 s poll and its replies run;
//  - CPU time of the whole process (worker, main loop, reply thread) over 10 s
//    with a device open and the main window's 2 s poll running.
#include "USB.h"
#include "fake_hid.h"
#include "link_testing.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

void open_fake_device(size_t output_len = 65) {
  link_reset_for_tests();
  TFakeHid& fake = TFakeHid::get();
  fake.reset();
  TFakeDevice d;
  d.output_len = static_cast<uint16_t>(output_len);
  fake.set_devices({d});
  fake.scan();
  fake.open(0);
  link_bind_entries(fake.entries(), output_len, true);
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1))];
}

// Post (returns at once) -> first report of that frame handed to the library.
void BM_HandOverLatency(benchmark::State& state) {
  open_fake_device();
  TFakeHid& fake = TFakeHid::get();
  std::atomic<int64_t> send_start{0};
  fake.set_outcome([&](const uint8_t* report) -> uint8_t {
    if (get_be16(report + 1) == 0)
      send_start = Clock::now().time_since_epoch().count();
    return 1;
  });
  link_set_host(TLinkHostFunctions{});
  link_start_worker();
  std::this_thread::sleep_for(10ms);  // the worker is asleep on its condition variable

  std::vector<double> samples;
  size_t frames = 0;
  for (auto _ : state) {
    const int64_t posted = Clock::now().time_since_epoch().count();
    post_request(cmd_boot_request);
    fake.wait_frames(++frames);
    samples.push_back(static_cast<double>(send_start - posted) / 1000.0);
    state.PauseTiming();
    std::this_thread::sleep_for(200us);  // let the worker fall asleep again: each post wakes it
    state.ResumeTiming();
  }
  state.counters["median_us"] = percentile(samples, 0.5);
  state.counters["p99_us"] = percentile(samples, 0.99);
  link_reset_for_tests();
}
BENCHMARK(BM_HandOverLatency)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// A waiting poster: update block of 512 bytes (9 reports), post to return.
void BM_WaitingPostRoundTrip(benchmark::State& state) {
  open_fake_device();
  link_set_host(TLinkHostFunctions{});
  link_start_worker();
  std::vector<uint8_t> block(512, 0x5A);
  std::vector<double> samples;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    benchmark::DoNotOptimize(write_eep(0x0200, block.data(), block.size()));
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  state.counters["median_us"] = percentile(samples, 0.5);
  link_reset_for_tests();
}
BENCHMARK(BM_WaitingPostRoundTrip)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// save() -> first report of the cmd_write frame carrying that edit, with the
// main window's poll (a read every 2 s, answered by the device on a thread of
// its own) going on. Edits come 5 ms apart, so 1,000 of them meet two polls.
void BM_EditToWriteSent(benchmark::State& state) {
  open_fake_device();
  TFakeHid& fake = TFakeHid::get();
  std::atomic<int> last_gain{-100};
  std::atomic<int64_t> sent_at{0};
  fake.set_outcome([&](const uint8_t* report) -> uint8_t {
    if (get_be16(report + 1) == 0 && report[5] == cmd_write) {
      sent_at = Clock::now().time_since_epoch().count();
      last_gain = static_cast<int8_t>(report[8 + 9]);
    }
    return 1;
  });
  fake.set_on_frame([](const TFrame& f) {
    if (f.cmd == cmd_read)
      deliver_reply(cmd_read, settings_bytes(settings_get()));
  });
  TLinkHostFunctions host;
  host.refresh = [] {};
  host.post_to_main = [](std::function<void()>) {};
  link_set_host(host);
  link_start_worker();
  std::atomic<bool> stop{false};
  std::thread poll([&] {
    while (!stop) {
      post_request(cmd_read);
      for (int i = 0; i < 200 && !stop; ++i)
        std::this_thread::sleep_for(10ms);
    }
  });

  std::vector<double> samples;
  int i = 0;
  for (auto _ : state) {
    const int gain = (i++ % 31) - 15;
    settings_edit([gain](TSettings& s) { s.gain[0] = static_cast<int8_t>(gain); });
    const int64_t saved = Clock::now().time_since_epoch().count();
    save();
    while (last_gain != gain)
      std::this_thread::yield();
    samples.push_back(static_cast<double>(sent_at - saved) / 1000.0);
    state.PauseTiming();
    std::this_thread::sleep_for(5ms);
    state.ResumeTiming();
  }
  stop = true;
  poll.join();
  state.counters["median_us"] = percentile(samples, 0.5);
  state.counters["worst_us"] = percentile(samples, 1.0);
  state.counters["polls"] = static_cast<double>(fake.frame_count() - samples.size());
  link_reset_for_tests();
}
BENCHMARK(BM_EditToWriteSent)->Iterations(1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// 10 s of an idle control panel: a read every 2 s, the device's reply on a read
// thread of its own, the refresh on the main thread.
void BM_IdleCpuWithPoll(benchmark::State& state) {
  open_fake_device();
  TFakeHid& fake = TFakeHid::get();

  std::mutex lock;
  std::condition_variable wake;
  std::deque<uint8_t> replies;
  bool main_woken = false;
  bool stop = false;
  int refreshes = 0;

  fake.set_on_frame([&](const TFrame& f) {
    if (f.cmd != cmd_read)
      return;
    std::lock_guard guard(lock);
    replies.push_back(cmd_read);
    wake.notify_all();
  });
  std::thread read_thread([&] {
    std::unique_lock lk(lock);
    while (!stop) {
      wake.wait(lk, [&] { return stop || !replies.empty(); });
      while (!replies.empty()) {
        replies.pop_front();
        lk.unlock();
        TSettings s{};
        s.preset = 1;
        deliver_reply(cmd_read, settings_bytes(s));
        lk.lock();
      }
    }
  });

  TLinkHostFunctions host;
  host.refresh = [&] { ++refreshes; };
  host.post_to_main = [&](std::function<void()> routine) {
    main_queue().poster()(std::move(routine));
    std::lock_guard guard(lock);
    main_woken = true;
    wake.notify_all();
  };
  link_set_host(host);
  link_start_worker();

  const double seconds = static_cast<double>(state.range(0));
  for (auto _ : state) {
    const double cpu0 = cpu_seconds();
    const auto start = Clock::now();
    auto next_poll = start;
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
      if (Clock::now() >= next_poll) {
        post_request(cmd_read);  // tmrTimer
        next_poll += 2s;
      }
      {
        std::unique_lock lk(lock);
        wake.wait_until(lk, std::min(next_poll, end), [&] { return main_woken; });
        main_woken = false;
      }
      main_queue().run();
    }
    const double cpu = cpu_seconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    state.counters["cpu_ms"] = cpu * 1000.0;
    state.counters["cpu_percent_of_core"] = 100.0 * cpu / wall;
    state.counters["polls"] = static_cast<double>(fake.frame_count());
    state.counters["refreshes"] = refreshes;
  }
  {
    std::lock_guard guard(lock);
    stop = true;
    wake.notify_all();
  }
  read_thread.join();
  link_reset_for_tests();
}
BENCHMARK(BM_IdleCpuWithPoll)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
