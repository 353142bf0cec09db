#include "Session.h"

#include "SettingsFile.h"
#include "UpdateLoop.h"
#include "unit_key.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

namespace mx::ctl {

namespace {

// A serial that no unit has: discovery then binds nothing and lists every unit.
const char bind_no_unit[] = "\n";

// Every unit as --serial or --path would name it.
std::string unit_list(const std::vector<TUnitSeen>& units) {
  std::string out;
  for (const TUnitSeen& u : units) {
    std::string name = unit_label(u.identity);
    if (known_by_path(units, u) && mx::link::has_serial(u.identity.serial)) name += " (path " + u.identity.path + ")";
    out += (out.empty() ? "" : ", ") + name;
  }
  return out;
}

std::vector<const TUnitSeen*> find_units(const std::vector<TUnitSeen>& units, const std::string& serial,
                                         const std::string& path) {
  std::vector<const TUnitSeen*> found;
  for (const TUnitSeen& u : units)
    if ((serial.empty() || u.identity.serial == serial) && (path.empty() || u.identity.path == path))
      found.push_back(&u);
  return found;
}

Failure held(const std::string& label, const std::string& holder) {
  return {Status::no_unit, "The unit " + label + " is in use by " + (holder.empty() ? "another program" : holder) +
                               "; it was not touched."};
}

}  // namespace

bool known_by_path(const std::vector<TUnitSeen>& units, const TUnitSeen& unit) {
  if (!mx::link::has_serial(unit.identity.serial)) return true;
  return std::count_if(units.begin(), units.end(),
                       [&](const TUnitSeen& u) { return u.identity.serial == unit.identity.serial; }) > 1;
}

std::string unit_label(const TDeviceIdentity& unit) {
  return mx::link::has_serial(unit.serial) ? unit.serial : unit.path;
}

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
  return dev_open && unit.serial == serial_ && (!by_path_ || unit.path == path_) && unit.boot == boot &&
         boot_mode == boot;
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
                                     const std::string& path, TUnitSeen& unit) const {
  if (units.empty()) return Failure{Status::no_unit, "No MX-540KTR is connected."};
  const std::vector<const TUnitSeen*> found = find_units(units, serial, path);
  if (found.empty()) {
    const std::string asked = path.empty() ? "with serial " + serial : "at path " + path;
    return Failure{Status::no_unit, "No unit " + asked + " is connected (connected: " + unit_list(units) + ")."};
  }
  if (found.size() > 1) {
    const std::string which = serial.empty() ? "Several units are connected" : "Several units have the serial " + serial;
    return Failure{Status::usage,
                   which + " (" + unit_list(units) + "); choose one with " + (serial.empty() ? "--serial or " : "") +
                       "--path."};
  }
  unit = *found.front();
  if (!unit.held_by.empty()) return held(unit_label(unit.identity), unit.held_by);
  return std::nullopt;
}

std::optional<Failure> Session::connect(const TUnitSeen& unit, bool by_path) {
  serial_ = unit.identity.serial;
  path_ = unit.identity.path;
  by_path_ = by_path;
  label_ = unit_label(unit.identity);
  reads_answered_ = 0;
  link_choose_unit(serial_, by_path_ ? path_ : std::string());
  rescan();
  // rescan binds at once or not at all; a unit held by another program is
  // named in units_seen.
  if (!unit_open(device_identity().boot)) {
    const auto units = units_seen();
    const auto found = find_units(units, serial_, by_path_ ? path_ : std::string());
    if (!found.empty() && !found.front()->held_by.empty()) return held(label_, found.front()->held_by);
    if (found.empty()) return Failure{Status::no_unit, "The unit " + label_ + " is no longer connected."};
    if (open_failure_)
      if (auto reason = open_failure_(serial_)) return reason;
    return Failure{Status::device_failed, "The unit " + label_ + " could not be opened."};
  }
  if (!device_identity().boot &&
      !wait([&] { return reads_answered_ > 0 || !dev_open; }, timeouts_.answer))
    return Failure{Status::timed_out, "The unit " + label_ + " did not answer the settings read."};
  if (!dev_open) return Failure{Status::device_failed, "The unit " + label_ + " went away."};
  return std::nullopt;
}

std::optional<Failure> Session::read_settings(TSettings& out) {
  if (boot_mode)
    return Failure{Status::device_failed, "The unit " + label_ +
                                              " is in boot mode; update its firmware (or reset it) first."};
  out = settings_get();
  return std::nullopt;
}

std::optional<Failure> Session::write_settings(const TSettings& wanted) {
  if (boot_mode)
    return Failure{Status::device_failed, "The unit " + label_ +
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
    if (!dev_open) return Failure{Status::device_failed, "The unit " + label_ + " went away while being written."};
    if (send_pending) continue;   // the write is still to go (refused once, sent again)
    const TSettings held_now = settings_get();
    if (std::memcmp(&held_now, &wanted, sizeof wanted) != 0)
      return Failure{Status::device_failed, "The unit " + label_ + " holds other settings than were written."};
    return std::nullopt;
  }
  return Failure{Status::timed_out, "The unit " + label_ + " did not confirm the settings."};
}

bool Session::await_unit(bool boot, Clock::time_point deadline, const std::function<void()>& step) {
  auto list_again_at = Clock::now() + timeouts_.unheard;
  for (;;) {
    if (unit_open(boot)) return true;
    if (step) step();
    auto until = std::min(deadline, list_again_at);
    if (step) until = std::min(until, Clock::now() + std::chrono::milliseconds(200));
    if (loop_.run_until([&] { return unit_open(boot); }, until)) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (now >= list_again_at) {
      rescan();
      list_again_at = now + timeouts_.unheard;
    }
  }
}

Session::TurnHolder Session::turn(std::chrono::milliseconds wait_at_most) {
  return take_turn_ ? take_turn_(Clock::now() + wait_at_most) : nullptr;
}

std::optional<Failure> Session::enter_boot() {
  if (unit_open(true)) return std::nullopt;
  // Another unit's re-enumeration takes at most its own bounds.
  const TurnHolder held = turn(timeouts_.restart + timeouts_.answer);
  // As the update dialog does: a boot request every 200 ms until the boot loader shows.
  if (await_unit(true, Clock::now() + timeouts_.boot, [] {
        if (!boot_mode && dev_open) post_request(cmd_boot_request);
      }))
    return std::nullopt;
  return Failure{Status::timed_out, "The unit " + label_ + " did not start its boot loader."};
}

std::optional<Failure> Session::leave_boot() {
  const TurnHolder held = turn(timeouts_.restart + timeouts_.answer);
  post_request(cmd_update_close);
  if (!await_unit(false, Clock::now() + timeouts_.restart))
    return Failure{Status::timed_out, "The unit " + label_ + " did not come back in normal mode."};
  return std::nullopt;
}

std::optional<Failure> Session::reset_settings() {
  reset_answered_ = false;
  if (!post_and_wait(cmd_reset))
    return Failure{Status::device_failed, "The reset could not be sent to the unit " + label_ + "."};
  if (!wait([&] { return reset_answered_.load(); }, timeouts_.answer))
    return Failure{Status::timed_out, "The unit " + label_ + " did not confirm the reset."};
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
    // cmd_finish is posted below, once the blocks are in and the unit has its turn to restart.
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
    return Failure{Status::timed_out, "The unit " + label_ + " stopped taking update blocks."};
  }
  writer.join();
  show();
  switch (w->outcome) {
    case UpdateOutcome::finished: break;
    case UpdateOutcome::too_large: return update_file_failure(UpdateFileFault::image_too_large, file_name);
    case UpdateOutcome::failed:
      return Failure{Status::device_failed, "The unit " + label_ +
                                                " refused an update block; it stays in boot mode, run the update again."};
  }
  const TurnHolder held = turn(timeouts_.restart + timeouts_.answer);
  post_request(cmd_finish);
  if (!wait([&] { return finish_answered_.load(); }, timeouts_.answer))
    return Failure{Status::timed_out, "The unit " + label_ + " did not confirm the end of the update."};
  if (!await_unit(false, Clock::now() + timeouts_.restart))
    return Failure{Status::timed_out, "The unit " + label_ + " did not come back in normal mode after the update."};
  version = device_identity().version;
  return std::nullopt;
}

void Session::stop() { usb_stop(); }

}  // namespace mx::ctl
