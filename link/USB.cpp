#include "USB.h"

#include "link_testing.h"
#include "mailbox.h"

#include <chrono>
#include <cstring>
#include <mutex>

std::atomic<bool> dev_open{false}, boot_mode{false}, send_pending{false}, sending{false}, refresh_pending{false};

namespace mx::link {
namespace {

// How long a unit that re-enumerates on the link's command keeps its place:
// the boot loader and the firmware come back well within it.
constexpr auto returning_time = std::chrono::seconds(30);

// The process-wide link: its parts, and what the program gave it.
struct TLink {
  TSettingsRecord settings;
  TDevice device;
  TMailbox mailbox{settings, [this](uint8_t cmd, const std::vector<uint8_t>& payload,
                                    std::optional<uint64_t> connection) {
                     return send(cmd, payload.data(), payload.size(), connection);
                   }};
  // Used by on_report only, on the library's read thread.
  TFrameAssembler rx_buffer{TMarkKind::end_mark};

  mutable std::mutex lock;  // host, platform, binding state
  std::shared_ptr<LinkHost> host;
  std::shared_ptr<const TLinkPlatform> platform;
  bool init_attempted = false;
  bool init_result = false;

  // Sharing units (under `lock`).
  std::shared_ptr<TUnitLocks> locks;
  std::string chosen_serial;  // empty: the first unit this process can take
  std::string held_serial;    // the unit whose lock the link holds
  std::vector<TUnitSeen> seen;
  // Until then a unit that left on the link's own command (boot request, finish,
  // close of the boot loader) is expected back, and discovery binds no other.
  std::optional<std::chrono::steady_clock::time_point> returning_until;

  TLink() { settings.set_wake([this] { mailbox.wake(); }); }

  // Called outside the lock: a host or platform set meanwhile takes over at
  // the next call, the one in use stays alive until its call returns.
  std::shared_ptr<LinkHost> current_host() const {
    std::lock_guard guard(lock);
    return host;
  }
  std::shared_ptr<const TLinkPlatform> current_platform() const {
    std::lock_guard guard(lock);
    return platform;
  }
  void show_error(const std::string& text) const {
    if (auto h = current_host())
      h->report_error(text);
  }

  bool send(uint8_t cmd, const uint8_t* data, size_t len, std::optional<uint64_t> connection) {
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

  // After a reply to cmd_read: the main window shows the record. One refresh
  // at most is on its way to the main thread.
  void request_refresh() {
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

  void dispatch_reply(const TFrame& frame) {
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
};

// Never destroyed: the library's read thread may still deliver reports while
// the process ends. The worker is joined by usb_stop.
TLink& L() {
  static TLink* link = new TLink;
  return *link;
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

// One discovery pass: every VORNIX unit on the bus, and what the link holds.
struct TDiscoveryPass {
  std::shared_ptr<TUnitLocks> locks;
  std::string chosen, held;
  bool held_returning = false;  // the held unit left on the link's own command
  bool held_present = false;
  std::vector<TUnitSeen> seen;
  std::vector<std::pair<uint8_t, THIDDeviceInfo>> candidates;  // beside `seen`
};

TDiscoveryPass list_units(TLink& l, uint8_t count) {
  TDiscoveryPass pass;
  {
    std::lock_guard guard(l.lock);
    pass.locks = l.locks;
    pass.chosen = l.chosen_serial;
    pass.held = l.held_serial;
    pass.held_returning =
        !pass.held.empty() && l.returning_until && std::chrono::steady_clock::now() < *l.returning_until;
  }
  const auto platform = l.current_platform();
  auto text = [&](const THIDString& field) { return platform ? platform->record_text(field) : hid_text(field); };
  for (unsigned index = 0; index < count; ++index) {
    const THIDDeviceInfo info = l.device.info(static_cast<uint8_t>(index));
    if (!is_maker(info.Manufacturer))
      continue;
    TUnitSeen unit;
    unit.identity.product = text(info.Product);
    unit.identity.serial = text(info.SerialNumber);
    unit.identity.version = version_text(info.VersionNumber);
    unit.identity.boot = is_boot_product(unit.identity.product);
    pass.held_present = pass.held_present || (!pass.held.empty() && unit.identity.serial == pass.held);
    pass.seen.push_back(unit);
    pass.candidates.emplace_back(static_cast<uint8_t>(index), info);
  }
  return pass;
}

// The unit to bind: the one whose lock the link holds, wherever the bus lists
// it; else the first one it may have (the chosen serial only, if one is
// chosen), once this process holds its lock. A unit another program holds is
// never opened. While the held unit is away on the link's own command (an
// update under way) no other unit is bound.
std::optional<size_t> choose_unit(TDiscoveryPass& pass) {
  if (pass.held_present && (pass.chosen.empty() || pass.chosen == pass.held))
    for (size_t i = 0; i < pass.seen.size(); ++i)
      if (pass.seen[i].identity.serial == pass.held)
        return i;
  if (pass.held_returning && !pass.held_present)
    return std::nullopt;
  for (size_t i = 0; i < pass.seen.size(); ++i) {
    const std::string& serial = pass.seen[i].identity.serial;
    if (!pass.chosen.empty() && serial != pass.chosen)
      continue;
    if (pass.locks && serial != pass.held) {
      std::string holder;
      if (!pass.locks->take(serial, holder)) {
        pass.seen[i].held_by = holder.empty() ? "another program" : holder;
        continue;
      }
      if (!pass.held.empty())
        pass.locks->give_back(pass.held);
      pass.held = serial;
    }
    return i;
  }
  return std::nullopt;
}

// Keeps what the pass saw and the lock it holds; false when usb_stop came
// meanwhile (the lock just taken is given back, nothing is opened).
bool record_pass(TLink& l, const TDiscoveryPass& pass, std::optional<size_t> bound) {
  bool stopped_meanwhile = false;
  {
    std::lock_guard guard(l.lock);
    l.seen = pass.seen;
    stopped_meanwhile = l.device.sending_stopped();
    if (pass.locks && !stopped_meanwhile)
      l.held_serial = pass.held;
    if (bound && pass.held_present)
      l.returning_until.reset();  // it is back
  }
  if (stopped_meanwhile && pass.locks && bound)
    pass.locks->give_back(pass.held);
  return !stopped_meanwhile;
}

void bind_unit(TLink& l, const std::shared_ptr<LinkHost>& host, const TDeviceIdentity& unit,
               const std::pair<uint8_t, THIDDeviceInfo>& candidate) {
  l.device.set_identity(unit);
  if (host)
    host->show_unit(unit);
  const auto connection = l.device.open(candidate.first, candidate.second);
  if (!connection)
    return;
  // An edit waiting for this very unit goes out after its first read reply;
  // one made on another unit, or before a boot loader took over, is dropped.
  l.settings.connected(*connection, unit.serial, !unit.boot);
  if (unit.boot) {
    boot_mode = true;
    if (host)
      host->enable_update(true);
  } else {
    if (host)
      host->enable_update(false);
    boot_mode = false;
    if (host)
      host->enable_controls(true);
    // Show the device's settings now rather than at the next poll.
    post_request(cmd_read);
  }
}

}  // namespace
}  // namespace mx::link

using mx::link::L;

TSettings settings_get() { return L().settings.get(); }

void settings_edit(const std::function<void(TSettings&)>& edit) { L().settings.edit(edit); }

void link_set_host(std::shared_ptr<LinkHost> host) {
  std::lock_guard guard(L().lock);
  L().host = std::move(host);
}

TDeviceIdentity device_identity() { return L().device.identity(); }

void link_set_unit_locks(std::shared_ptr<mx::link::TUnitLocks> locks) {
  std::lock_guard guard(L().lock);
  L().locks = std::move(locks);
}

void link_choose_unit(const std::string& serial) {
  std::lock_guard guard(L().lock);
  L().chosen_serial = serial;
}

std::vector<TUnitSeen> units_seen() {
  std::lock_guard guard(L().lock);
  return L().seen;
}

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

bool post_and_wait(uint8_t cmd) { return L().mailbox.post_and_wait({cmd, {}}); }

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

bool set_erase(uint16_t adr) { return L().mailbox.post_and_wait({cmd_erase, erase_payload(adr)}); }

bool write_flash(uint16_t adr, const uint8_t* b, size_t n) {
  if ((adr & 0x1FF) == 0)
    set_erase(adr);  // its outcome does not stop the block
  return L().mailbox.post_and_wait({cmd_flash, block_payload(adr, b, n)});
}

bool write_eep(uint16_t adr, const uint8_t* b, size_t n) {
  return L().mailbox.post_and_wait({cmd_eeprom, block_payload(adr, b, n)});
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

void rescan() {
  using namespace mx::link;
  auto& l = L();
  const THIDEntries e = l.device.entries();
  if (!e.HIDscanForDevices || !e.HIDGetDeviceInfo || !e.HIDopenDevice || !e.HIDcloseDevice)
    return;
  // After usb_stop the unit may belong to another program already.
  if (l.device.sending_stopped())
    return;

  l.settings.disconnected();
  l.device.close();
  const uint8_t count = l.device.scan();
  const auto host = l.current_host();
  if (host)
    host->enable_controls(false);

  TDiscoveryPass pass = list_units(l, count);
  const auto bound = choose_unit(pass);
  if (!record_pass(l, pass, bound))
    return;
  if (!bound) {
    l.device.set_identity({});
    if (host)
      host->show_unit({});
    return;
  }
  bind_unit(l, host, pass.seen[*bound].identity, pass.candidates[*bound]);
}

void usb_stop() {
  auto& l = L();
  // The window waits for the worker at most for the report being sent.
  l.device.stop_sending();
  l.mailbox.stop();
  // Nothing more goes to the unit: another program may have it now.
  l.device.close();
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
    l.host = {};
    l.platform = {};
    l.init_attempted = false;
    l.init_result = false;
    l.locks.reset();
    l.chosen_serial.clear();
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

bool link_sends_stopped() { return L().device.sending_stopped(); }

size_t link_output_report_len() { return L().device.output_report_len(); }
