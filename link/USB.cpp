#include "USB.h"

#include "link_state.h"
#include "link_testing.h"
#include "unit_key.h"

#include <chrono>
#include <cstring>
#include <mutex>

std::atomic<bool> dev_open{false}, boot_mode{false}, send_pending{false}, sending{false}, refresh_pending{false};

namespace mx::link {

// Never destroyed: the library's read thread may still deliver reports while
// the process ends. The worker is joined by usb_stop.
TLink& L() {
  static TLink* link = new TLink;
  return *link;
}

bool TLink::send(uint8_t cmd, const uint8_t* data, size_t len, std::optional<uint64_t> connection) {
  sending = true;
  bool result = false;
  try {
    result = device.send_frame(cmd, data, len, connection);
    if (result && (cmd == cmd_boot_request || cmd == cmd_finish || cmd == cmd_update_close)) {
      std::lock_guard guard(lock);
      returning_until = std::chrono::steady_clock::now() + returning_time;
    }
  } catch (const std::exception& e) {
    show_error(e.what());
  } catch (...) {
    show_error("Unknown error while sending to the device");
  }
  sending = false;
  return result;
}

bool TLink::post_and_wait(const TRequest& request, bool again_after_a_pass) {
  const TDeviceIdentity unit = device.identity();
  std::chrono::milliseconds bound;
  std::function<void()> between;
  {
    std::lock_guard guard(lock);
    bound = send_bound;
    between = while_waiting;
  }
  const auto deadline = TMailbox::TClock::now() + bound;
  for (;;) {
    bool pass_under_way;
    uint64_t started_before;
    {
      std::lock_guard guard(lock);
      started_before = rescans_started;
      pass_under_way = rescans_ended != rescans_started;
    }
    const auto outcome = mailbox.post_and_wait(request, deadline, between);
    if (outcome == TMailbox::TWait::sent)
      return true;
    if (outcome == TMailbox::TWait::timed_out) {
      give_up_connection();
      return false;
    }
    if (!again_after_a_pass || device.sending_stopped())
      return false;
    {
      // Refused with no pass under way meanwhile: the unit failed the report itself.
      std::unique_lock guard(lock);
      if (!pass_under_way && rescans_started == started_before)
        return false;
      ++frames_waiting_for_pass;
      while (rescans_ended != rescans_started && TMailbox::TClock::now() < deadline) {
        rescanned.wait_until(guard, between ? std::min(deadline, TMailbox::TClock::now() + TMailbox::between_every)
                                            : deadline);
        if (between) {
          guard.unlock();
          between();
          guard.lock();
        }
      }
      --frames_waiting_for_pass;
      if (rescans_ended != rescans_started)
        return false;
    }
    const TDeviceIdentity now_unit = device.identity();
    if (!dev_open || now_unit.boot != unit.boot ||
        unit_key(now_unit.serial, now_unit.path) != unit_key(unit.serial, unit.path))
      return false;
  }
}

void TLink::give_up_connection() {
  // Whatever report call hangs is given up at once; the unit is looked for
  // again as after a device change, on a fresh connection.
  device.close(TDevice::TClock::now());
  if (auto h = current_host())
    h->run_on_main([] { rescan(); });
}

void TLink::request_refresh() {
  if (refresh_pending.exchange(true))
    return;
  const auto h = current_host();
  const bool posted = h && h->run_on_main([this] {
    refresh_pending = false;
    if (auto now = current_host())
      now->show_settings();
  });
  if (!posted)
    refresh_pending = false;
}

void TLink::dispatch_reply(const TFrame& frame) {
  switch (frame.cmd) {
    case cmd_read:
    case cmd_write: {
      // A payload shorter than the record would bring in its CRC and stale
      // buffer bytes as settings; such a reply is dropped.
      if (frame.payload.size() < sizeof(TSettings))
        return;
      TSettings record;
      std::memcpy(&record, frame.payload.data(), sizeof record);
      sanitize_settings(record);
      settings.reply(frame.cmd, record);
      // Also when the reply was not copied: the window then shows the edits
      // still on their way, which are what the device is about to hold.
      if (frame.cmd == cmd_read)
        request_refresh();
      break;
    }
    case cmd_finish:
      if (auto h = current_host())
        h->on_update_finished();
      break;
    case cmd_reset:
      if (auto h = current_host())
        h->on_settings_reset();
      break;
    default:
      break;
  }
}

namespace {


void HIDAPI_CALL rescan_handler() { rescan(); }

}  // namespace
}  // namespace mx::link

using mx::link::L;

TSettings settings_get() { return L().settings.get(); }

void settings_edit(const std::function<void(TSettings&)>& edit) { L().settings.edit(edit); }

std::string settings_unit() { return L().settings.record_unit(); }

std::string unit_holder(const std::string& key) {
  std::shared_ptr<mx::link::TUnitLocks> locks;
  {
    std::lock_guard guard(L().lock);
    if (key == L().held_serial)
      return {};
    locks = L().locks;
  }
  return locks ? locks->holder(key) : std::string();
}

bool settings_edit_and_save(const std::function<bool(TSettings&)>& edit) {
  auto& l = L();
  send_pending = true;  // also while the write is held for the connection's first reply
  const bool changed = l.settings.edit_and_write(edit);
  if (!changed)
    l.mailbox.wake();  // the worker lowers send_pending again
  return changed;
}

void link_set_send_wait(std::chrono::milliseconds bound, std::function<void()> while_waiting) {
  std::lock_guard guard(L().lock);
  L().send_bound = bound;
  L().while_waiting = std::move(while_waiting);
}

void link_set_host(std::shared_ptr<LinkHost> host) {
  std::lock_guard guard(L().lock);
  L().host = std::move(host);
}

TDeviceIdentity device_identity() { return L().device.identity(); }


void link_set_platform(std::shared_ptr<const TLinkPlatform> platform) {
  std::lock_guard guard(L().lock);
  L().platform = std::move(platform);
}

bool send_msg(uint8_t cmd, const uint8_t* data, size_t len) { return L().send(cmd, data, len, std::nullopt); }

void HIDAPI_CALL on_report(THIDReport report, uint8_t) {
  auto& l = L();
  try {
    TFrame frame;
    if (l.rx_buffer.feed(reinterpret_cast<const uint8_t*>(&report), sizeof report, frame) ==
        TFrameAssembler::TFeed::good)
      l.dispatch_reply(frame);
  } catch (...) {
    // Nothing may travel back into the library's read thread.
    l.rx_buffer.clear();
  }
}

void save() {
  send_pending = true;  // also while the write is held for the connection's first reply
  L().settings.schedule_write();
}

void post_request(uint8_t cmd) {
  if (cmd == cmd_read && boot_mode)
    return;
  L().mailbox.post({cmd, {}});
}

bool post_and_wait(uint8_t cmd) { return L().post_and_wait({cmd, {}}); }

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

bool set_erase(uint16_t adr) { return L().post_and_wait({cmd_erase, erase_payload(adr)}, true); }

bool write_flash(uint16_t adr, const uint8_t* b, size_t n) {
  // A page whose erase did not go out would refuse the block (or keep old
  // bits in it): the block is not sent either.
  if ((adr & 0x1FF) == 0 && !set_erase(adr))
    return false;
  return L().post_and_wait({cmd_flash, block_payload(adr, b, n)}, true);
}

bool write_eep(uint16_t adr, const uint8_t* b, size_t n) {
  return L().post_and_wait({cmd_eeprom, block_payload(adr, b, n)}, true);
}

bool usb_init() {
  auto& l = L();
  std::shared_ptr<const TLinkPlatform> platform;
  {
    std::lock_guard guard(l.lock);
    if (l.init_attempted)
      return l.init_result;  // bound once per process; later activations change nothing
    l.init_attempted = true;
    platform = l.platform;
  }
  l.mailbox.start();

  THIDEntries entries;
  // Without a platform there is no file to load.
  const TLoadResult loaded = platform ? load_hid_library(*platform, entries) : TLoadResult{};
  if (!loaded.write_error.empty())
    l.show_error(loaded.write_error);
  if (loaded.outcome != TLoadOutcome::bound)
    return false;

  l.device.bind(entries);
  entries.HIDsetEventHandler(on_report);
  entries.USBsetEventHandler(mx::link::rescan_handler);
  rescan();
  std::lock_guard guard(l.lock);
  l.init_result = true;
  return true;
}

void usb_stop() {
  auto& l = L();
  // The window waits for the worker at most for the report being sent, and
  // for a report call that hangs not beyond the deadline: such a worker is
  // left to the process's end.
  const auto deadline = mx::link::TDevice::TClock::now() + mx::link::TDevice::stop_wait;
  l.device.stop_sending();
  l.mailbox.stop(deadline);
  // Nothing more goes to the unit: another program may have it now.
  l.device.close(deadline);
  std::shared_ptr<mx::link::TUnitLocks> locks;
  std::string held;
  {
    std::lock_guard guard(l.lock);
    locks = l.locks;
    held.swap(l.held_serial);
    l.returning_until.reset();
  }
  if (locks && !held.empty())
    locks->give_back(held);
}

// ---- test seams ----

void link_reset_for_tests() {
  auto& l = L();
  l.mailbox.stop();
  l.mailbox.clear();
  {
    std::lock_guard guard(l.lock);
    l.send_bound = std::chrono::milliseconds(15000);
    l.while_waiting = nullptr;
    l.host = {};
    l.platform = {};
    l.init_attempted = false;
    l.init_result = false;
    l.locks.reset();
    l.chosen_serial.clear();
    l.chosen_path.clear();
    l.held_serial.clear();
    l.seen.clear();
    l.returning_until.reset();
  }
  l.device.reset();
  l.settings.reset();
  l.rx_buffer.clear();
  dev_open = boot_mode = send_pending = sending = refresh_pending = false;
}

void link_start_worker() { L().mailbox.start(); }

void link_bind_entries(const THIDEntries& entries, size_t output_report_len, bool open) {
  L().device.bind_open(entries, output_report_len, open);
}

size_t link_rx_size() { return L().rx_buffer.size(); }

bool link_writes_held() { return L().settings.writes_held(); }

bool link_last_result() { return L().mailbox.last_result(); }

bool link_worker_idle() { return L().mailbox.idle(); }

bool link_worker_sending() { return L().mailbox.in_send(); }

bool link_sends_stopped() { return L().device.sending_stopped(); }

size_t link_workers_left_behind() { return L().mailbox.left_behind(); }

bool link_device_closing() { return L().device.closing(); }

size_t link_frames_waiting_for_discovery() {
  std::lock_guard guard(L().lock);
  return L().frames_waiting_for_pass;
}

size_t link_output_report_len() { return L().device.output_report_len(); }
