#include "USB.h"

#include "link_testing.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

std::atomic<bool> dev_open{false}, boot_mode{false}, send_pending{false}, sending{false}, refresh_pending{false};

namespace {

// One request as the worker takes it: always whole, because posters and the
// worker only touch the slot under the mailbox lock.
struct TRequest {
  uint8_t cmd = 0;
  std::vector<uint8_t> payload;
  bool live_settings = false;  // cmd_write: frame the record as it is when the send begins
  uint64_t ticket = 0;
};

struct TLink {
  std::mutex settings_lock;
  TSettings settings{};

  // Mailbox, worker, main-thread task, host and platform.
  std::mutex lock;
  std::condition_variable worker_wake;  // posts, replies, the end of a main-thread task, stop
  std::condition_variable poster_wake;  // finished sends, main-thread tasks waiting, worker exit
  std::optional<TRequest> slot;
  uint64_t next_ticket = 1;
  std::map<uint64_t, std::optional<bool>> waiters;  // tickets of posters waiting for their outcome
  bool result = false;
  bool writes_held = false;  // from each rescan to the first settings reply of its connection
  bool held_write = false;   // a save made meanwhile
  bool stop = false;
  bool worker_running = false;
  std::thread* worker = nullptr;  // lives until the process ends
  bool refresh_requested = false;
  bool refresh_running = false;
  std::thread::id main_thread;
  LinkHost host;
  TLinkPlatform platform;
  bool init_attempted = false;
  bool init_result = false;

  // The library's device calls: rescan on the main thread and send_msg on the
  // worker take turns, so a frame never goes to a device being closed and never
  // straddles two connections.
  std::mutex device_lock;
  THIDEntries entries;
  size_t out_report_len = hid_report_len;

  // Used by on_report only, on the library's read thread.
  TFrameAssembler rx_buffer{TMarkKind::end_mark};
};

// Never destroyed: the worker and the library's read thread may still run while
// the process ends.
TLink& L() {
  static TLink* link = new TLink;
  return *link;
}

template <class F>
F host_member(F LinkHost::*member) {
  std::lock_guard guard(L().lock);
  return L().host.*member;
}

void show_error(const std::string& text) {
  if (auto show = host_member(&LinkHost::show_error))
    show(text);
}

bool on_main_thread_locked() { return std::this_thread::get_id() == L().main_thread; }

// Runs the refresh the worker asked for, if any and not already running further
// up this thread's stack. Called with the mailbox lock held; drops it meanwhile.
void run_main_task_locked(std::unique_lock<std::mutex>& lk) {
  TLink& l = L();
  if (!l.refresh_requested || l.refresh_running)
    return;
  l.refresh_running = true;
  auto refresh = l.host.refresh;
  lk.unlock();
  try {
    if (refresh)
      refresh();
  } catch (...) {
    // A window procedure is no place for an exception; the next poll refreshes again.
  }
  lk.lock();
  l.refresh_running = false;
  l.refresh_requested = false;
  l.worker_wake.notify_all();
}

uint64_t post_locked(TRequest request) {
  TLink& l = L();
  request.ticket = l.next_ticket++;
  if (l.slot) {
    // The newer post replaces a request the worker has not taken; a poster waiting
    // for that one learns that its frame was never sent.
    auto waiter = l.waiters.find(l.slot->ticket);
    if (waiter != l.waiters.end())
      waiter->second = false;
  }
  l.slot = std::move(request);
  send_pending = true;
  l.worker_wake.notify_all();
  l.poster_wake.notify_all();
  return l.slot->ticket;
}

// Posts and waits until the worker has sent this very request (or it was
// replaced, or the worker stopped), running the main thread's tasks meanwhile.
bool post_and_wait_for(TRequest request) {
  TLink& l = L();
  std::unique_lock lk(l.lock);
  if (!l.worker_running || l.stop)
    return false;
  const uint64_t ticket = post_locked(std::move(request));
  auto& outcome = l.waiters[ticket];
  const bool on_main = on_main_thread_locked();
  while (!outcome) {
    if (!l.worker_running) {
      outcome = false;
      break;
    }
    if (on_main && l.refresh_requested && !l.refresh_running) {
      run_main_task_locked(lk);
      continue;
    }
    l.poster_wake.wait(lk);
  }
  const bool result = *outcome;
  l.waiters.erase(ticket);
  return result;
}

// The next request for the worker, if any. A write never goes to a connection
// whose first settings reply has not arrived: it waits aside, without taking the
// slot from other requests, and goes out after that reply.
std::optional<TRequest> take_locked() {
  TLink& l = L();
  if (l.slot && l.slot->cmd == cmd_write && l.writes_held) {
    l.held_write = true;
    l.slot.reset();
  }
  std::optional<TRequest> next;
  if (l.slot) {
    next = std::move(l.slot);
    l.slot.reset();
  } else if (l.held_write && !l.writes_held) {
    l.held_write = false;
    next = TRequest{cmd_write, {}, true, 0};
  }
  return next;
}

// Tthr: sends what is posted and has the main thread refresh after a settings
// reply. It sleeps on a condition variable between requests, so an idle control
// panel costs no processor time.
void Tthr() {
  TLink& l = L();
  std::function<void()> lower_priority;
  {
    std::lock_guard guard(l.lock);
    lower_priority = l.platform.lower_thread_priority;
  }
  if (lower_priority)
    lower_priority();

  std::unique_lock lk(l.lock);
  while (!l.stop) {
    bool worked = false;
    if (auto next = take_locked()) {
      TRequest request = std::move(*next);
      lk.unlock();
      if (request.live_settings) {
        const TSettings record = settings_get();
        const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
        request.payload.assign(bytes, bytes + sizeof record);
      }
      const bool ok = send_msg(request.cmd, request.payload.data(), request.payload.size());
      lk.lock();
      l.result = ok;
      auto waiter = l.waiters.find(request.ticket);
      if (waiter != l.waiters.end())
        waiter->second = ok;
      send_pending = l.slot.has_value() || l.held_write;
      l.poster_wake.notify_all();
      worked = true;
      if (l.stop)
        break;
    }
    if (refresh_pending.exchange(false)) {
      worked = true;
      if (l.host.refresh) {
        l.refresh_requested = true;
        auto wake = l.host.wake_main;
        l.poster_wake.notify_all();  // a poster waiting on the main thread runs it too
        lk.unlock();
        if (wake)
          wake();
        lk.lock();
        l.worker_wake.wait(lk, [&] { return !l.refresh_requested || l.stop; });
      }
    }
    if (!worked)
      l.worker_wake.wait(lk);
  }
  l.worker_running = false;
  l.poster_wake.notify_all();
}

void start_worker() {
  TLink& l = L();
  std::lock_guard guard(l.lock);
  if (l.worker || l.stop)
    return;
  l.worker_running = true;
  l.worker = new std::thread(Tthr);
}

void dispatch_reply(const TFrame& frame) {
  switch (frame.cmd) {
    case cmd_read:
    case cmd_write: {
      // A payload shorter than the record would bring in its CRC and stale buffer
      // bytes as settings; such a reply is dropped.
      if (frame.payload.size() < sizeof(TSettings))
        return;
      TSettings record;
      std::memcpy(&record, frame.payload.data(), sizeof record);
      sanitize_settings(record);
      {
        std::lock_guard guard(L().settings_lock);
        L().settings = record;
      }
      if (frame.cmd == cmd_read) {
        std::lock_guard guard(L().lock);
        L().writes_held = false;
        refresh_pending = true;
        L().worker_wake.notify_all();
      }
      break;
    }
    case cmd_finish:
      if (auto finished = host_member(&LinkHost::update_finished))
        finished();
      break;
    case cmd_reset:
      if (auto reset = host_member(&LinkHost::settings_reset))
        reset();
      break;
    default:
      break;
  }
}

bool is_maker(const THIDString& manufacturer) {
  const size_t n = sizeof maker_string - 1;
  return manufacturer.Length == n && std::memcmp(manufacturer.Text, maker_string, n) == 0;
}

// Boot loaders announce themselves with "(boot)" after the product name; a name
// that starts with it is not one.
bool is_boot_product(const std::string& product) {
  const auto at = product.find("(boot)");
  return at != std::string::npos && at >= 1;
}

void HIDAPI_CALL rescan_handler() { rescan(); }

}  // namespace

TSettings settings_get() {
  std::lock_guard guard(L().settings_lock);
  return L().settings;
}

void settings_edit(const std::function<void(TSettings&)>& edit) {
  std::lock_guard guard(L().settings_lock);
  edit(L().settings);
}

void sanitize_settings(TSettings& s) {
  s.preset %= 6;
  for (int p = 0; p < 4; ++p) {
    s.src[p] &= 0x0F;
    s.gain[p] = static_cast<int8_t>(std::clamp<int>(s.gain[p], -15, 15));
    s.delay[p] %= 35;
    s.delay_gpi[p] %= 18;
    s.ref[p] &= 0x1F;
    s.scale[p] %= 3;
  }
}

void link_set_host(LinkHost host) {
  std::lock_guard guard(L().lock);
  L().host = std::move(host);
  L().main_thread = std::this_thread::get_id();
}

void link_run_main_tasks() {
  std::unique_lock lk(L().lock);
  run_main_task_locked(lk);
}

void link_set_platform(TLinkPlatform platform) {
  std::lock_guard guard(L().lock);
  L().platform = std::move(platform);
}

bool send_msg(uint8_t cmd, const uint8_t* data, size_t len) {
  TLink& l = L();
  sending = true;
  bool result = false;
  try {
    std::lock_guard guard(l.device_lock);
    if (dev_open && l.entries.HIDSetOutputReport) {
      const std::vector<uint8_t> frame = build_frame(cmd, data, len);
      // The library sends OutputReportByteLength bytes from this buffer.
      std::vector<uint8_t> report(std::max(l.out_report_len, hid_report_len));
      for (size_t offset = 0; offset < frame.size(); offset += report_piece) {
        fill_report(report.data(), report.size(), frame, offset);
        result = l.entries.HIDSetOutputReport(report.data()) != 0;
      }
    }
  } catch (const std::exception& e) {
    show_error(e.what());
  } catch (...) {
    show_error("Unknown error while sending to the device");
  }
  sending = false;
  return result;
}

void HIDAPI_CALL on_report(THIDReport report, uint8_t) {
  TLink& l = L();
  try {
    TFrame frame;
    if (l.rx_buffer.feed(reinterpret_cast<const uint8_t*>(&report), sizeof report, frame) ==
        TFrameAssembler::TFeed::good)
      dispatch_reply(frame);
  } catch (...) {
    // Nothing may travel back into the library's read thread.
    l.rx_buffer.clear();
  }
}

void save() {
  TLink& l = L();
  std::unique_lock lk(l.lock);
  const bool on_main = on_main_thread_locked();
  // Posting now would not lose the frame being sent, but the record should go
  // out after it; the window keeps repainting meanwhile.
  while (sending) {
    if (on_main)
      run_main_task_locked(lk);
    if (auto pump = l.host.pump_messages; pump && on_main) {
      lk.unlock();
      pump();
      lk.lock();
    }
    if (sending)
      l.poster_wake.wait_for(lk, std::chrono::milliseconds(10));
  }
  if (l.writes_held) {
    // The record holds zeros or an earlier device's values until the first reply.
    l.held_write = true;
    send_pending = true;
    return;
  }
  post_locked(TRequest{cmd_write, {}, true, 0});
}

void post_request(uint8_t cmd) {
  if (cmd == cmd_read && boot_mode)
    return;
  std::lock_guard guard(L().lock);
  post_locked(TRequest{cmd, {}, false, 0});
}

bool post_and_wait(uint8_t cmd) { return post_and_wait_for(TRequest{cmd, {}, false, 0}); }

std::vector<uint8_t> erase_payload(uint16_t adr) {
  std::vector<uint8_t> payload(2);
  put_be16(payload.data(), adr);
  return payload;
}

std::vector<uint8_t> block_payload(uint16_t adr, const uint8_t* b, size_t n) {
  std::vector<uint8_t> payload(4 + n);
  put_be16(payload.data(), adr);
  put_be16(payload.data() + 2, static_cast<uint16_t>(n));
  if (n)
    std::memcpy(payload.data() + 4, b, n);
  return payload;
}

bool set_erase(uint16_t adr) { return post_and_wait_for(TRequest{cmd_erase, erase_payload(adr), false, 0}); }

bool write_flash(uint16_t adr, const uint8_t* b, size_t n) {
  if ((adr & 0x1FF) == 0)
    set_erase(adr);  // its outcome does not stop the block
  return post_and_wait_for(TRequest{cmd_flash, block_payload(adr, b, n), false, 0});
}

bool write_eep(uint16_t adr, const uint8_t* b, size_t n) {
  return post_and_wait_for(TRequest{cmd_eeprom, block_payload(adr, b, n), false, 0});
}

TLoadResult load_hid_library(const TLinkPlatform& platform, THIDEntries& entries) {
  TLoadResult r;
  entries = THIDEntries{};
  auto exists = [&] { return platform.file_exists && platform.file_exists(hid_library_file); };
  if (!exists()) {
    std::vector<uint8_t> bytes;
    if (platform.read_own_resource && platform.write_file && platform.read_own_resource(bytes)) {
      try {
        platform.write_file(hid_library_file, bytes);
      } catch (const std::exception& e) {
        r.write_error = e.what();
        if (r.write_error.empty())
          r.write_error = "HID_Lib.dll could not be written";
      }
    }
    if (!exists()) {
      r.outcome = TLoadOutcome::no_file;
      return r;
    }
  }

  // By full path: a bare name would go through the search order and could load a
  // different HID_Lib.dll than the one just checked or written.
  r.outcome = TLoadOutcome::not_loadable;
  if (!platform.full_path || !platform.load_library || !platform.resolve)
    return r;
  r.path = platform.full_path(hid_library_file);
  if (r.path.empty())
    return r;
  void* library = platform.load_library(r.path);
  if (!library)
    return r;

  void* raw[18];
  for (int i = 0; i < 18; ++i)
    raw[i] = platform.resolve(library, HID_EXPORT_NAMES[i]);
  entries.USBsetEventHandler = reinterpret_cast<TUSBsetEventHandler>(raw[0]);
  entries.HIDsetEventHandler = reinterpret_cast<THIDsetEventHandler>(raw[1]);
  entries.HIDscanForDevices = reinterpret_cast<THIDscanForDevices>(raw[2]);
  entries.HIDGetDeviceInfo = reinterpret_cast<THIDGetDeviceInfo>(raw[3]);
  entries.HIDopenDevice = reinterpret_cast<THIDopenDevice>(raw[4]);
  entries.HIDcloseDevice = reinterpret_cast<THIDcloseDevice>(raw[5]);
  entries.HIDwriteDevice = reinterpret_cast<THIDwriteDevice>(raw[6]);
  entries.HIDreadDevice = reinterpret_cast<THIDreadDevice>(raw[7]);
  entries.HIDOutputReportSize = reinterpret_cast<THIDReportSize>(raw[8]);
  entries.HIDInputReportSize = reinterpret_cast<THIDReportSize>(raw[9]);
  entries.HIDFeatureReportSize = reinterpret_cast<THIDReportSize>(raw[10]);
  entries.HIDOutputReportCount = reinterpret_cast<THIDReportCount>(raw[11]);
  entries.HIDInputReportCount = reinterpret_cast<THIDReportCount>(raw[12]);
  entries.HIDFeatureReportCount = reinterpret_cast<THIDReportCount>(raw[13]);
  entries.HIDSetOutputReport = reinterpret_cast<THIDReportTransfer>(raw[14]);
  entries.HIDGetInputReport = reinterpret_cast<THIDReportTransfer>(raw[15]);
  entries.HIDSetFeatureReport = reinterpret_cast<THIDReportTransfer>(raw[16]);
  entries.HIDGetFeatureReport = reinterpret_cast<THIDReportTransfer>(raw[17]);

  const bool callable = entries.USBsetEventHandler && entries.HIDsetEventHandler && entries.HIDscanForDevices &&
                        entries.HIDGetDeviceInfo && entries.HIDopenDevice && entries.HIDcloseDevice &&
                        entries.HIDSetOutputReport;
  r.outcome = callable ? TLoadOutcome::bound : TLoadOutcome::missing_entry;
  return r;
}

bool usb_init() {
  TLink& l = L();
  TLinkPlatform platform;
  {
    std::lock_guard guard(l.lock);
    if (l.init_attempted)
      return l.init_result;  // bound once per process; later activations change nothing
    l.init_attempted = true;
    l.main_thread = std::this_thread::get_id();
    platform = l.platform;
  }
  start_worker();

  THIDEntries entries;
  const TLoadResult loaded = load_hid_library(platform, entries);
  if (!loaded.write_error.empty())
    show_error(loaded.write_error);
  if (loaded.outcome != TLoadOutcome::bound)
    return false;

  {
    std::lock_guard guard(l.device_lock);
    l.entries = entries;
  }
  entries.HIDsetEventHandler(on_report);
  entries.USBsetEventHandler(rescan_handler);
  rescan();
  std::lock_guard guard(l.lock);
  l.init_result = true;
  return true;
}

void rescan() {
  TLink& l = L();
  THIDEntries e;
  {
    std::lock_guard guard(l.device_lock);
    e = l.entries;
  }
  if (!e.HIDscanForDevices || !e.HIDGetDeviceInfo || !e.HIDopenDevice || !e.HIDcloseDevice)
    return;

  {
    // A new connection starts with its writes held back until its first settings
    // reply; an edit held for the previous one no longer applies.
    std::lock_guard guard(l.lock);
    l.writes_held = true;
    l.held_write = false;
  }
  uint8_t count;
  {
    std::lock_guard guard(l.device_lock);
    if (dev_open) {
      e.HIDcloseDevice();
      dev_open = false;
    }
    count = e.HIDscanForDevices();
  }
  auto host = [&] {
    std::lock_guard guard(l.lock);
    return l.host;
  }();
  if (host.cont)
    host.cont(false);

  for (unsigned index = 0; index < count; ++index) {
    THIDDeviceInfo info;
    std::memset(&info, 0, sizeof info);
    {
      std::lock_guard guard(l.device_lock);
      e.HIDGetDeviceInfo(static_cast<uint8_t>(index), &info);
    }
    if (!is_maker(info.Manufacturer))
      continue;

    const std::string product = hid_text(info.Product);
    if (host.show_device)
      host.show_device(product, hid_text(info.SerialNumber), version_text(info.VersionNumber));
    {
      std::lock_guard guard(l.device_lock);
      const bool opened = e.HIDopenDevice(static_cast<uint8_t>(index)) != 0;
      if (opened)
        l.out_report_len = std::max<size_t>(info.OutputReportByteLength, hid_report_len);
      dev_open = opened;
    }
    if (!dev_open)
      return;
    if (is_boot_product(product)) {
      boot_mode = true;
      if (host.enable_update_buttons)
        host.enable_update_buttons(true);
    } else {
      if (host.enable_update_buttons)
        host.enable_update_buttons(false);
      boot_mode = false;
      if (host.cont)
        host.cont(true);
      // Show the device's settings now rather than at the next poll.
      post_request(cmd_read);
    }
    return;
  }
  if (host.show_device)
    host.show_device("", "", "");
}

void usb_stop() {
  std::lock_guard guard(L().lock);
  L().stop = true;
  L().worker_wake.notify_all();
  L().poster_wake.notify_all();
}

// ---- test seams ----

void link_reset_for_tests() {
  TLink& l = L();
  std::thread* worker;
  {
    std::lock_guard guard(l.lock);
    l.stop = true;
    l.worker_wake.notify_all();
    l.poster_wake.notify_all();
    worker = l.worker;
    l.worker = nullptr;
  }
  if (worker) {
    worker->join();
    delete worker;
  }
  {
    std::lock_guard guard(l.lock);
    l.slot.reset();
    l.waiters.clear();
    l.next_ticket = 1;
    l.result = false;
    l.writes_held = false;
    l.held_write = false;
    l.stop = false;
    l.worker_running = false;
    l.refresh_requested = false;
    l.refresh_running = false;
    l.main_thread = {};
    l.host = {};
    l.platform = {};
    l.init_attempted = false;
    l.init_result = false;
  }
  {
    std::lock_guard guard(l.device_lock);
    l.entries = {};
    l.out_report_len = hid_report_len;
  }
  {
    std::lock_guard guard(l.settings_lock);
    l.settings = {};
  }
  l.rx_buffer.clear();
  dev_open = boot_mode = send_pending = sending = refresh_pending = false;
}

void link_start_worker() { start_worker(); }

void link_bind_entries(const THIDEntries& entries, size_t output_report_len, bool open) {
  std::lock_guard guard(L().device_lock);
  L().entries = entries;
  L().out_report_len = output_report_len;
  dev_open = open;
}

size_t link_rx_size() { return L().rx_buffer.size(); }

bool link_writes_held() {
  std::lock_guard guard(L().lock);
  return L().writes_held;
}

bool link_last_result() {
  std::lock_guard guard(L().lock);
  return L().result;
}
