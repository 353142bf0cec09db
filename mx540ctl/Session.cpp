#include "Session.h"

#include "SettingsFile.h"
#include "UpdateLoop.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

namespace mx::ctl {

namespace {

// A serial that no unit has: discovery then binds nothing and lists every unit.
const char bind_no_unit[] = "\n";

std::string serial_list(const std::vector<TUnitSeen>& units) {
  std::string out;
  for (const TUnitSeen& u : units) out += (out.empty() ? "" : ", ") + u.identity.serial;
  return out;
}

const TUnitSeen* find_unit(const std::vector<TUnitSeen>& units, const std::string& serial) {
  for (const TUnitSeen& u : units)
    if (u.identity.serial == serial) return &u;
  return nullptr;
}

Failure held(const std::string& serial, const std::string& holder) {
  return {Status::no_unit, "The unit " + serial + " is in use by " + (holder.empty() ? "another program" : holder) +
                               "; it was not touched."};
}

}  // namespace

std::string boot_product(const TDeviceIdentity& unit) {
  return unit.boot ? unit.product : unit.product + " (boot)";
}

Session::Session(MainLoop& loop, Timeouts timeouts) : loop_(loop), timeouts_(timeouts) {}

// The tool's side of the link: no windows, only the answers a command waits for.
class Session::Host : public LinkHost {
 public:
  Host(Session& session, std::function<void(const std::string&)> error)
      : session_(session), error_(std::move(error)) {}
  bool run_on_main(std::function<void()> routine) override {
    session_.loop_.post(std::move(routine));
    return true;
  }
  void show_settings() override { ++session_.reads_answered_; }
  void report_error(const std::string& text) override {
    if (error_) error_(text);
  }
  void enable_controls(bool) override {}
  void show_unit(const TDeviceIdentity&) override { session_.loop_.notify(); }
  void enable_update(bool) override {}
  void on_update_finished() override {
    session_.finish_answered_ = true;
    session_.loop_.notify();
  }
  void on_settings_reset() override {
    session_.reset_answered_ = true;
    session_.loop_.notify();
  }

 private:
  Session& session_;
  std::function<void(const std::string&)> error_;
};

void Session::install(std::function<void(const std::string&)> error) {
  link_set_host(std::make_shared<Host>(*this, std::move(error)));
}

bool Session::wait(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  return loop_.run_until(done, Clock::now() + bound);
}

bool Session::unit_open(bool boot) const {
  const TDeviceIdentity unit = device_identity();
  return dev_open && unit.serial == serial_ && unit.boot == boot && boot_mode == boot;
}

TDeviceIdentity Session::identity() const { return device_identity(); }

std::optional<Failure> Session::scan(std::vector<TUnitSeen>& units) {
  link_choose_unit(bind_no_unit);
  if (!usb_init())
    return Failure{Status::no_unit, "The HID library (HID_Lib.dll in the current folder) could not be loaded."};
  units = units_seen();
  return std::nullopt;
}

std::optional<Failure> Session::pick(const std::vector<TUnitSeen>& units, const std::string& serial,
                                     TUnitSeen& unit) const {
  if (units.empty()) return Failure{Status::no_unit, "No MX-540KTR is connected."};
  if (serial.empty()) {
    if (units.size() > 1)
      return Failure{Status::usage,
                     "Several units are connected (" + serial_list(units) + "); choose one with --serial."};
    unit = units.front();
  } else {
    const TUnitSeen* found = find_unit(units, serial);
    if (!found)
      return Failure{Status::no_unit,
                     "No unit with serial " + serial + " is connected (connected: " + serial_list(units) + ")."};
    unit = *found;
  }
  if (!unit.held_by.empty()) return held(unit.identity.serial, unit.held_by);
  return std::nullopt;
}

std::optional<Failure> Session::connect(const std::string& serial) {
  serial_ = serial;
  reads_answered_ = 0;
  link_choose_unit(serial);
  rescan();
  // rescan binds at once or not at all; a unit held by another program is
  // named in units_seen.
  if (!dev_open || device_identity().serial != serial) {
    const auto units = units_seen();
    const TUnitSeen* found = find_unit(units, serial);
    if (found && !found->held_by.empty()) return held(serial, found->held_by);
    if (!found) return Failure{Status::no_unit, "The unit " + serial + " is no longer connected."};
    if (open_failure_)
      if (auto reason = open_failure_(serial)) return reason;
    return Failure{Status::device_failed, "The unit " + serial + " could not be opened."};
  }
  if (!device_identity().boot &&
      !wait([&] { return reads_answered_ > 0 || !dev_open; }, timeouts_.answer))
    return Failure{Status::timed_out, "The unit " + serial + " did not answer the settings read."};
  if (!dev_open) return Failure{Status::device_failed, "The unit " + serial + " went away."};
  return std::nullopt;
}

std::optional<Failure> Session::read_settings(TSettings& out) {
  if (boot_mode)
    return Failure{Status::device_failed, "The unit " + serial_ +
                                              " is in boot mode; update its firmware (or reset it) first."};
  out = settings_get();
  return std::nullopt;
}

std::optional<Failure> Session::write_settings(const TSettings& wanted) {
  if (boot_mode)
    return Failure{Status::device_failed, "The unit " + serial_ +
                                              " is in boot mode; update its firmware (or reset it) first."};
  settings_edit_and_save([&](TSettings& s) {
    s = wanted;
    return true;
  });
  // The worker sends the write before the read; the read's answer is copied
  // into the record once no write is left, and then shows the unit itself.
  const auto deadline = Clock::now() + timeouts_.answer;
  while (Clock::now() < deadline) {
    const unsigned before = reads_answered_;
    post_request(cmd_read);
    if (!loop_.run_until([&] { return reads_answered_ != before || !dev_open; }, deadline)) break;
    if (!dev_open) return Failure{Status::device_failed, "The unit " + serial_ + " went away while being written."};
    if (send_pending) continue;   // the write is still to go (refused once, sent again)
    const TSettings held_now = settings_get();
    if (std::memcmp(&held_now, &wanted, sizeof wanted) != 0)
      return Failure{Status::device_failed, "The unit " + serial_ + " holds other settings than were written."};
    return std::nullopt;
  }
  return Failure{Status::timed_out, "The unit " + serial_ + " did not confirm the settings."};
}

std::optional<Failure> Session::enter_boot() {
  if (unit_open(true)) return std::nullopt;
  const auto deadline = Clock::now() + timeouts_.boot;
  while (Clock::now() < deadline) {
    // As the update dialog does: a boot request every 200 ms until the boot loader shows.
    if (!boot_mode && dev_open) post_request(cmd_boot_request);
    if (loop_.run_until([&] { return unit_open(true); }, std::min(deadline, Clock::now() + std::chrono::milliseconds(200))))
      return std::nullopt;
  }
  return Failure{Status::timed_out, "The unit " + serial_ + " did not start its boot loader."};
}

std::optional<Failure> Session::leave_boot() {
  post_request(cmd_update_close);
  if (!wait([&] { return unit_open(false); }, timeouts_.restart))
    return Failure{Status::timed_out, "The unit " + serial_ + " did not come back in normal mode."};
  return std::nullopt;
}

std::optional<Failure> Session::reset_settings() {
  reset_answered_ = false;
  if (!post_and_wait(cmd_reset))
    return Failure{Status::device_failed, "The reset could not be sent to the unit " + serial_ + "."};
  if (!wait([&] { return reset_answered_.load(); }, timeouts_.answer))
    return Failure{Status::timed_out, "The unit " + serial_ + " did not confirm the reset."};
  return std::nullopt;
}

std::optional<Failure> Session::update(const std::vector<uint8_t>& file_bytes, const std::string& file_name,
                                       const std::function<void(const ProgressState&)>& progress,
                                       std::string& version) {
  // The update dialog's check, against the boot loader's own name.
  auto file = std::make_shared<UpdateFile>(read_update_file(file_bytes, device_identity().product));
  if (!file->ok()) {
    Failure refused = update_file_failure(file->fault, file_name);
    if (auto closed = leave_boot()) refused.message += " " + closed->message;
    return refused;
  }

  // The blocks go out on a thread of their own, so that this thread keeps
  // running the library's messages and can give up on a unit that hangs.
  struct Writing {
    std::atomic<size_t> flash_done{0}, eeprom_done{0};
    std::atomic<int64_t> last_block_ns{0};
    std::atomic<bool> ended{false};
    UpdateOutcome outcome = UpdateOutcome::failed;
  };
  auto w = std::make_shared<Writing>();
  const size_t total = file->flash.size() + file->eeprom.size();
  auto stamp = [w] { w->last_block_ns = Clock::now().time_since_epoch().count(); };
  stamp();
  finish_answered_ = false;
  const auto started = Clock::now();

  std::thread writer([this, w, file, stamp] {
    UpdatePoster poster;
    poster.write_flash = [w, file, stamp](uint16_t adr, const uint8_t* b, size_t n) {
      const bool ok = ::write_flash(adr, b, n);
      if (ok) w->flash_done = std::min<size_t>(adr + n, file->flash.size());
      stamp();
      return ok;
    };
    poster.write_eep = [w, file, stamp](uint16_t adr, const uint8_t* b, size_t n) {
      const bool ok = ::write_eep(adr, b, n);
      if (ok) w->eeprom_done = std::min<size_t>(adr + n, file->eeprom.size());
      stamp();
      return ok;
    };
    poster.finish = [] { post_request(cmd_finish); };
    poster.progress = [this](int) { loop_.notify(); };
    w->outcome = run_update(file->flash, file->eeprom, poster);
    w->ended = true;
    loop_.notify();
  });

  size_t shown = static_cast<size_t>(-1);
  auto show = [&] {
    const size_t done = w->flash_done + w->eeprom_done;
    if (done == shown) return;
    shown = done;
    ProgressState p;
    p.done = done;
    p.total = total;
    p.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (progress) progress(p);
  };
  const bool ended = loop_.run_until(
      [&] {
        show();
        const auto since = Clock::now().time_since_epoch() - Clock::duration(w->last_block_ns.load());
        return w->ended || since > timeouts_.block;
      },
      Clock::time_point::max());
  (void)ended;
  if (!w->ended) {
    // A unit that takes no report keeps the writer inside the library; the
    // process ends without it.
    writer.detach();
    return Failure{Status::timed_out, "The unit " + serial_ + " stopped taking update blocks."};
  }
  writer.join();
  show();
  switch (w->outcome) {
    case UpdateOutcome::finished: break;
    case UpdateOutcome::too_large: return update_file_failure(UpdateFileFault::image_too_large, file_name);
    case UpdateOutcome::failed:
      return Failure{Status::device_failed, "The unit " + serial_ +
                                                " refused an update block; it stays in boot mode, run the update again."};
  }
  if (!wait([&] { return finish_answered_.load(); }, timeouts_.answer))
    return Failure{Status::timed_out, "The unit " + serial_ + " did not confirm the end of the update."};
  if (!wait([&] { return unit_open(false); }, timeouts_.restart))
    return Failure{Status::timed_out, "The unit " + serial_ + " did not come back in normal mode after the update."};
  version = device_identity().version;
  return std::nullopt;
}

void Session::stop() { usb_stop(); }

}  // namespace mx::ctl
