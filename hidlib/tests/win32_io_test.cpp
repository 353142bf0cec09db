// The Win32 platform's report I/O on real kernel objects. Wine's HID devices
// neither send nor take reports, so an overlapped message-mode named pipe
// stands in for a device handle: the client end is what the library holds,
// the server end plays the device (what it writes arrives as input reports,
// what it reads is what the library sent).
#include "HidLibrary.h"
#include "Win32Handle.h"
#include "Win32Platform.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace hidlib;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t kReport = 65;

std::vector<uint8_t> report_of(uint8_t id, uint8_t seq) {
  std::vector<uint8_t> r(kReport, 0);
  r[0] = id;
  r[1] = seq;
  r[64] = static_cast<uint8_t>(0xA0 ^ seq);
  return r;
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    Sleep(1);
  }
  return true;
}

// A connected pipe pair. `client` is opened overlapped, as the library opens
// a device; the server end is synchronous and only ever used when it will not
// block (PeekNamedPipe first).
struct PipePair {
  // Without `connect`, the pipe waits for a client the test opens another way.
  explicit PipePair(DWORD server_in_buffer = 4096, bool connect = true) {
    static std::atomic<int> serial{0};
    name = L"\\\\.\\pipe\\hidlib-io-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                              1, 4096, server_in_buffer, 0, nullptr);
    if (connect) client = open_client();
  }
  ~PipePair() {
    if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
    if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
  }
  HANDLE open_client() const {
    return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
  }
  bool ok() const { return server != INVALID_HANDLE_VALUE && client != INVALID_HANDLE_VALUE; }
  HidHandle device() const { return from_win_handle(client); }

  // The device sends an input report.
  bool send(const std::vector<uint8_t>& report) const {
    DWORD written = 0;
    return WriteFile(server, report.data(), static_cast<DWORD>(report.size()), &written, nullptr) &&
           written == report.size();
  }
  // Bytes waiting at the device, or -1 when the client end is gone.
  long waiting_at_device() const {
    DWORD available = 0;
    if (!PeekNamedPipe(server, nullptr, 0, nullptr, &available, nullptr)) return -1;
    return static_cast<long>(available);
  }
  // The messages the device has received so far, without waiting.
  std::vector<std::vector<uint8_t>> received() const {
    std::vector<std::vector<uint8_t>> messages;
    while (waiting_at_device() > 0) {
      std::vector<uint8_t> message(4096);
      DWORD got = 0;
      if (!ReadFile(server, message.data(), static_cast<DWORD>(message.size()), &got, nullptr)) break;
      message.resize(got);
      messages.push_back(message);
    }
    return messages;
  }

  std::wstring name;
  HANDLE server = INVALID_HANDLE_VALUE;
  HANDLE client = INVALID_HANDLE_VALUE;
};

}  // namespace

TEST(Win32Io, ANonWaitingReadTakesAWaitingReportOrWithdrawsItsRead) {
  PipePair pipe;
  ASSERT_TRUE(pipe.ok());
  auto platform = make_win32_platform();
  std::vector<uint8_t> buffer(kReport, 0x5A);

  // Nothing waiting: false at once, buffer untouched, and the withdrawn read
  // must not take the report that comes next.
  const auto start = Clock::now();
  EXPECT_FALSE(platform->read_report_nowait(pipe.device(), buffer.data(), kReport));
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(buffer, std::vector<uint8_t>(kReport, 0x5A));
  ASSERT_TRUE(pipe.send(report_of(1, 1)));
  ASSERT_TRUE(platform->read_report_nowait(pipe.device(), buffer.data(), kReport))
      << "the withdrawn read took the next report";
  EXPECT_EQ(buffer, report_of(1, 1));

  // Reports waiting: one per read, in order.
  ASSERT_TRUE(pipe.send(report_of(1, 2)));
  ASSERT_TRUE(pipe.send(report_of(1, 3)));
  ASSERT_TRUE(platform->read_report_nowait(pipe.device(), buffer.data(), kReport));
  EXPECT_EQ(buffer, report_of(1, 2));
  ASSERT_TRUE(platform->read_report_nowait(pipe.device(), buffer.data(), kReport));
  EXPECT_EQ(buffer, report_of(1, 3));
  EXPECT_FALSE(platform->read_report_nowait(pipe.device(), buffer.data(), kReport));
}

TEST(Win32Io, AWriteCompletesOrIsCancelledAfterItsTimeLimit) {
  // The device's side takes one message of room; the second write stays pending.
  PipePair pipe(kReport);
  ASSERT_TRUE(pipe.ok());
  auto platform = make_win32_platform();
  const auto first = report_of(2, 1);
  ASSERT_TRUE(platform->write_report(pipe.device(), first.data(), kReport, WRITE_TIMEOUT_MS));
  auto got = pipe.received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], first);

  // Fill the device's side, then a write that cannot complete.
  std::vector<std::vector<uint8_t>> sent;
  for (uint8_t seq = 2; seq < 10; ++seq) {
    const auto report = report_of(2, seq);
    // The writing thread lives on until the end of the check: a thread's end
    // would cancel the transfers it left pending and hide a missing cancel.
    std::promise<std::pair<bool, Clock::duration>> outcome;
    auto done = outcome.get_future();
    std::atomic<bool> may_end{false};
    std::thread writer([&] {
      const auto start = Clock::now();
      const bool ok = platform->write_report(pipe.device(), report.data(), kReport, WRITE_TIMEOUT_MS);
      outcome.set_value(std::make_pair(ok, Clock::now() - start));
      while (!may_end) Sleep(1);
    });
    struct Join {
      std::thread& thread;
      std::atomic<bool>& may_end;
      ~Join() {
        may_end = true;
        thread.join();
      }
    } join{writer, may_end};
    if (done.wait_for(10s) != std::future_status::ready) {
      pipe.received();  // lets the write end so the test can report
      FAIL() << "a write that cannot complete did not give up";
    }
    const auto [ok, took] = done.get();
    if (ok) {
      sent.push_back(report);
      continue;
    }
    EXPECT_GE(took, 190ms);
    EXPECT_LT(took, 5s);
    // Cancelled: once the device reads again, only what was reported sent
    // arrives. A write left pending would follow as soon as there is room, so
    // the device keeps reading for a while.
    got = pipe.received();
    wait_for([&] {
      for (auto& message : pipe.received()) got.push_back(std::move(message));
      return false;
    }, 300ms);
    EXPECT_EQ(got, sent) << "a write reported as failed reached the device";
    return;
  }
  FAIL() << "the device's side never filled up";
}

TEST(Win32Io, APendingReadWakesOnAReportOrASignalAndIsWithdrawnWithoutATrace) {
  PipePair pipe;
  ASSERT_TRUE(pipe.ok());
  auto platform = make_win32_platform();
  auto waiter = platform->make_read_waiter();

  // A signal before the wait ends it; the read stays pending.
  ASSERT_TRUE(waiter->start(pipe.device(), kReport));
  waiter->signal();
  EXPECT_EQ(waiter->wait(), ReadWaiter::Wake::Signalled);
  // A report that arrives ends it with the report.
  auto woke = std::async(std::launch::async, [&] { return waiter->wait(); });
  EXPECT_EQ(woke.wait_for(100ms), std::future_status::timeout) << "woke with nothing arrived";
  ASSERT_TRUE(pipe.send(report_of(1, 1)));
  ASSERT_EQ(woke.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(woke.get(), ReadWaiter::Wake::Report);
  EXPECT_EQ(waiter->report(), report_of(1, 1));

  // A report already waiting completes the read at once.
  ASSERT_TRUE(pipe.send(report_of(1, 2)));
  ASSERT_TRUE(waiter->start(pipe.device(), kReport));
  EXPECT_EQ(waiter->wait(), ReadWaiter::Wake::Report);
  EXPECT_EQ(waiter->report(), report_of(1, 2));

  // Withdrawn: the next report is not taken by the withdrawn read.
  ASSERT_TRUE(waiter->start(pipe.device(), kReport));
  EXPECT_FALSE(waiter->cancel());
  ASSERT_TRUE(pipe.send(report_of(1, 3)));
  std::vector<uint8_t> buffer(kReport, 0);
  ASSERT_TRUE(platform->read_report_nowait(pipe.device(), buffer.data(), kReport))
      << "the withdrawn read took the next report";
  EXPECT_EQ(buffer, report_of(1, 3));

  // The device goes away: the pending read ends without a report.
  ASSERT_TRUE(waiter->start(pipe.device(), kReport));
  CloseHandle(pipe.server);
  pipe.server = INVALID_HANDLE_VALUE;
  EXPECT_EQ(waiter->wait(), ReadWaiter::Wake::Failed);
  EXPECT_FALSE(waiter->start(pipe.device(), kReport)) << "a read of a gone device fails at once";
}

namespace {

// The library over one pipe "device": identity and layout are made up, the
// transfers are the Win32 platform's own.
class PipeDevicePlatform final : public HidPlatform {
 public:
  explicit PipeDevicePlatform(const std::wstring& name) : name_(name), win32_(make_win32_platform()) {}

  bool enumerate(std::vector<std::string>& paths) override {
    paths.push_back("pipe");
    return true;
  }
  HidHandle open(const std::string&, OpenMode mode) override {
    // Probes get a stand-in: the pipe has one instance, kept for the real open.
    if (mode == OpenMode::ProbeReadWrite || mode == OpenMode::ProbeQuery) return kProbe;
    HANDLE h = CreateFileW(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    return h == INVALID_HANDLE_VALUE ? HID_NO_HANDLE : from_win_handle(h);
  }
  void close(HidHandle handle) override {
    if (handle != kProbe) win32_->close(handle);
  }
  bool attributes(HidHandle, HidAttributes& out) override {
    out = {0x1FC9, 0x0540, 0x0100};
    return true;
  }
  std::optional<std::string> string(HidHandle, StringKind) override { return std::nullopt; }
  bool set_num_input_buffers(HidHandle, uint32_t) override { return true; }
  bool report_layout(HidHandle, HidReportLayout& out) override {
    out.InputReportByteLength = kReport;
    out.OutputReportByteLength = kReport;
    return true;
  }
  bool write_report(HidHandle h, const uint8_t* data, uint16_t length, uint32_t ms) override {
    return win32_->write_report(h, data, length, ms);
  }
  bool read_report_nowait(HidHandle h, uint8_t* buffer, uint16_t length) override {
    return win32_->read_report_nowait(h, buffer, length);
  }
  std::unique_ptr<ReadWaiter> make_read_waiter() override { return win32_->make_read_waiter(); }
  bool set_output_report(HidHandle, void*, uint16_t) override { return false; }
  bool get_input_report(HidHandle, void*, uint16_t) override { return false; }
  bool set_feature(HidHandle, void*, uint16_t) override { return false; }
  bool get_feature(HidHandle, void*, uint16_t) override { return false; }

 private:
  static constexpr HidHandle kProbe = 0x7FFFFFF0u;
  std::wstring name_;
  std::unique_ptr<HidPlatform> win32_;
};

std::mutex delivered_mutex;
std::vector<std::vector<uint8_t>> delivered;
void HIDAPI_CALL on_report(THIDReport report, uint8_t) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&report);
  std::lock_guard lock(delivered_mutex);
  delivered.emplace_back(bytes, bytes + sizeof report);
}
size_t delivered_count() {
  std::lock_guard lock(delivered_mutex);
  return delivered.size();
}

}  // namespace

TEST(Win32Io, TheReadThreadDeliversFromAPendingReadAndWithdrawsItWhenTheHandlerGoesOrTheDeviceCloses) {
  PipePair pipe(4096, false);  // the library opens the client end
  ASSERT_NE(pipe.server, INVALID_HANDLE_VALUE);
  PipeDevicePlatform platform(pipe.name);
  HidLibrary library(platform);
  auto reader = std::async(std::launch::async, [&] { library.read_loop(); });
  struct Stop {
    HidLibrary& library;
    ~Stop() { library.stop_read_loop(); }
  } stop{library};

  library.set_report_handler(&on_report);
  ASSERT_EQ(library.scan_for_devices(), 1);
  ASSERT_TRUE(library.open_device(0));
  for (uint8_t seq = 0; seq < 5; ++seq) ASSERT_TRUE(pipe.send(report_of(1, seq)));
  ASSERT_TRUE(wait_for([] { return delivered_count() == 5; }, 10s)) << delivered_count();
  {
    std::lock_guard lock(delivered_mutex);
    for (uint8_t seq = 0; seq < 5; ++seq) EXPECT_EQ(delivered[seq], report_of(1, seq));
  }

  // The handler goes while the read is pending: the read is withdrawn, and
  // the next report waits for the host's own read (or was taken just before
  // and is kept for it), never lost to a read nobody finishes.
  library.set_report_handler(nullptr);
  ASSERT_TRUE(pipe.send(report_of(1, 5)));
  THIDReport report{};
  ASSERT_TRUE(wait_for([&] { return library.read_device(&report) > 0; }, 10s)) << "the report was lost";
  EXPECT_EQ(std::memcmp(&report, report_of(1, 5).data(), kReport), 0);
  library.set_report_handler(&on_report);

  // Close while the read is pending: the read thread withdraws it, then the
  // handle is closed, which the device sees as its client going away.
  ASSERT_TRUE(library.close_device());
  ASSERT_TRUE(wait_for([&] { return pipe.waiting_at_device() < 0; }, 10s)) << "the handle stayed open";
  EXPECT_FALSE(pipe.send(report_of(1, 9)));
  Sleep(50);
  EXPECT_EQ(delivered_count(), 5u);
}
