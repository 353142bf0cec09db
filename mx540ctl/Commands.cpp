#include "Commands.h"

#include "SettingsFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace mx::ctl {

namespace {

namespace fs = std::filesystem;

fs::path utf8_path(const std::string& name) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(name.data()), name.size()));
}

std::string mode_text(const TDeviceIdentity& unit) { return unit.boot ? "boot" : "normal"; }

std::string padded(std::string text, size_t width) {
  if (text.size() < width) text.resize(width, ' ');
  return text;
}

// Fails the command: the sentence on the error stream (or, for a parent
// `update --all`, as the child's result line) and the status.
Status fail(const Options& o, Io& io, const Failure& f) {
  if (o.child)
    io.out(child_result_line(f.status, f.message) + "\n");
  else
    io.err(f.message + "\n");
  return f.status;
}

// Scan, pick and bind the unit a command names.
std::optional<Failure> connect(const Options& o, Session& session, TUnitSeen& unit) {
  std::vector<TUnitSeen> units;
  if (auto f = session.scan(units)) return f;
  if (auto f = session.pick(units, o.serial, o.path, unit)) return f;
  return session.connect(unit, known_by_path(units, unit));
}

Status run_list(const Options& o, Session& session, Io& io) {
  std::vector<TUnitSeen> units;
  if (auto f = session.scan(units)) return fail(o, io, *f);
  io.out(o.json ? list_json(units) : list_text(units));
  if (units.empty()) return fail(o, io, {Status::no_unit, "No MX-540KTR is connected."});
  return Status::ok;
}

Status run_show(const Options& o, Session& session, Io& io) {
  TUnitSeen unit;
  TSettings record{};
  if (auto f = connect(o, session, unit)) return fail(o, io, *f);
  if (auto f = session.read_settings(record)) return fail(o, io, *f);
  const TDeviceIdentity id = session.identity();
  if (o.json)
    io.out(write_settings_file(record, {model_name(id.product), id.serial, id.version}));
  else
    io.out(show_text(record, id));
  return Status::ok;
}

Status run_set(const Options& o, Session& session, Io& io) {
  TUnitSeen unit;
  TSettings record{};
  if (auto f = connect(o, session, unit)) return fail(o, io, *f);
  if (auto f = session.read_settings(record)) return fail(o, io, *f);
  TSettings wanted = record;
  if (!apply_pairs(wanted, o.pairs, o.preset))
    return fail(o, io, {Status::usage, "The unit's record names no active preset; choose one with --preset. "
                                       "Nothing was changed."});
  if (auto f = session.write_settings(wanted)) return fail(o, io, *f);
  io.out(unit_label(session.identity()) + ": settings written and read back.\n");
  return Status::ok;
}

Status run_save(const Options& o, Session& session, Io& io) {
  TUnitSeen unit;
  TSettings record{};
  if (auto f = connect(o, session, unit)) return fail(o, io, *f);
  if (auto f = session.read_settings(record)) return fail(o, io, *f);
  const TDeviceIdentity id = session.identity();
  if (!write_whole_file(o.file, write_settings_file(record, {model_name(id.product), id.serial, id.version})))
    return fail(o, io, {Status::file_rejected, "The settings file " + o.file + " could not be written."});
  io.out(unit_label(id) + ": settings saved to " + o.file + ".\n");
  return Status::ok;
}

Status run_load(const Options& o, Session& session, Io& io) {
  // The whole file is checked before any unit is touched.
  std::vector<uint8_t> bytes;
  if (!read_whole_file(o.file, bytes, 1 << 20))
    return fail(o, io, {Status::file_rejected, "The settings file " + o.file + " cannot be read. Nothing was changed."});
  SettingsFileError error;
  const auto content = read_settings_file(std::string(bytes.begin(), bytes.end()), error);
  if (!content)
    return fail(o, io, {Status::file_rejected,
                        "The settings file " + o.file + " was refused: " + error.text + " Nothing was changed."});
  TUnitSeen unit;
  if (auto f = connect(o, session, unit)) return fail(o, io, *f);
  const std::string model = model_name(session.identity().product);
  if (content->source.model != model)
    return fail(o, io, {Status::file_rejected, "The settings file " + o.file + " is for the model \"" +
                                                   content->source.model + "\", not for " + model +
                                                   " (field model). Nothing was changed."});
  TSettings current{};
  if (auto f = session.read_settings(current)) return fail(o, io, *f);
  if (auto f = session.write_settings(content->record)) return fail(o, io, *f);
  io.out(unit_label(session.identity()) + ": settings loaded from " + o.file + " and read back.\n");
  return Status::ok;
}

Status run_reset(const Options& o, Session& session, Io& io) {
  TUnitSeen unit;
  if (auto f = connect(o, session, unit)) return fail(o, io, *f);
  if (auto f = session.enter_boot()) return fail(o, io, *f);
  if (auto f = session.reset_settings()) return fail(o, io, *f);
  if (auto f = session.leave_boot()) return fail(o, io, *f);
  io.out(unit_label(session.identity()) + ": settings reset to the factory values.\n");
  return Status::ok;
}

Status run_update_one(const Options& o, Session& session, Io& io) {
  std::vector<uint8_t> bytes;
  if (!read_whole_file(o.file, bytes, max_update_file_size))
    return fail(o, io, update_file_failure(UpdateFileFault::unreadable, o.file));

  std::vector<TUnitSeen> units;
  TUnitSeen unit;
  if (auto f = session.scan(units)) return fail(o, io, *f);
  if (auto f = session.pick(units, o.serial, o.path, unit)) return fail(o, io, *f);
  // The same checks as in boot mode, against the name the boot loader will
  // show: a file that does not fit sends nothing, not even the boot request.
  const UpdateFile precheck = read_update_file(bytes, boot_product(unit.identity));
  if (!precheck.ok()) return fail(o, io, update_file_failure(precheck.fault, o.file));

  if (auto f = session.connect(unit, known_by_path(units, unit))) return fail(o, io, *f);
  const std::string before = session.identity().version;
  if (auto f = session.enter_boot()) return fail(o, io, *f);
  if (o.child) io.out(child_boot_line() + "\n");

  ProgressLines lines;
  bool bar_shown = false;
  ProgressState last;
  auto progress = [&](const ProgressState& p) {
    last = p;
    if (o.child) {
      io.out(child_progress_line(p.done, p.total) + "\n");
    } else if (io.console) {
      io.out("\r" + progress_bar(p));
      bar_shown = true;
    } else if (auto line = lines.next(p)) {
      io.out(*line + "\n");
    }
  };
  std::string version;
  const auto failure = session.update(bytes, o.file, progress, version);
  if (bar_shown) io.out("\n");
  if (failure) return fail(o, io, *failure);
  if (o.child)
    io.out(child_result_line(Status::ok, version) + "\n");
  else {
    char blocks[64];
    std::snprintf(blocks, sizeof blocks, " (%zu bytes written in %.2f s)", last.done, last.seconds);
    io.out(unit_label(unit.identity) + ": updated from firmware " + before + " to " + version + blocks + ".\n");
  }
  return Status::ok;
}

// Every unit listed, with the file checked against it: a unit the file does
// not fit has its result already and gets no update process.
std::vector<UnitRun> checked_units(const std::vector<TUnitSeen>& seen, const std::vector<uint8_t>& bytes,
                                   const std::string& file) {
  std::vector<UnitRun> units;
  for (const TUnitSeen& s : seen) {
    UnitRun run;
    run.serial = unit_label(s.identity);
    run.choice = known_by_path(seen, s) ? std::vector<std::string>{"--path", s.identity.path}
                                        : std::vector<std::string>{"--serial", s.identity.serial};
    const UpdateFile precheck = read_update_file(bytes, boot_product(s.identity));
    if (!precheck.ok()) run.result = update_file_failure(precheck.fault, file);
    // Known from the start, so that the sum does not grow as the children start.
    run.progress.total = precheck.flash.size() + precheck.eeprom.size();
    units.push_back(run);
  }
  return units;
}

// One line per unit at the end (failures on the error stream); the status of
// the whole run.
Status report_fleet(const std::vector<UnitRun>& units, Io& io) {
  std::vector<Status> statuses;
  for (const UnitRun& u : units) {
    const std::string line = fleet_summary_line(u);
    if (u.result && u.result->status == Status::ok)
      io.out(line + "\n");
    else
      io.err(line + "\n");
    statuses.push_back(u.result ? u.result->status : Status::timed_out);
  }
  return combined_status(statuses);
}

// Where a unit whose update process was ended stands, and how to finish.
std::string left_where(const UnitRun& u, const std::string& file) {
  const std::string again = "mx540ctl update " + u.choice[0] + " " + u.choice[1] + " -- " + file;
  if (u.in_boot) return "it was left in its boot loader; run `" + again + "` to finish.";
  return "it may have started its boot loader (see `mx540ctl list`); if so, run `" + again + "`.";
}

Status run_update_all(const Options& o, Session& session, MainLoop& loop, Io& io) {
  std::vector<uint8_t> bytes;
  if (!read_whole_file(o.file, bytes, max_update_file_size))
    return fail(o, io, update_file_failure(UpdateFileFault::unreadable, o.file));
  std::vector<TUnitSeen> seen;
  if (auto f = session.scan(seen)) return fail(o, io, *f);
  if (seen.empty()) return fail(o, io, {Status::no_unit, "No MX-540KTR is connected."});

  std::vector<UnitRun> units = checked_units(seen, bytes, o.file);
  // The children open the units; this process only listed them.
  session.stop();

  std::vector<size_t> child_unit;   // child index -> unit index
  std::vector<std::vector<std::string>> children;
  for (size_t i = 0; i < units.size(); ++i) {
    if (units[i].result) continue;
    child_unit.push_back(i);
    // `--` before the file: a file name that begins with '-' is not an option.
    std::vector<std::string> args = {"update"};
    args.insert(args.end(), units[i].choice.begin(), units[i].choice.end());
    args.insert(args.end(), {"--child", "--", o.file});
    children.push_back(args);
  }

  const auto started = Clock::now();
  size_t running = 0;
  auto last_heard = Clock::now();
  ProgressLines lines;
  bool bar_shown = false;
  // Why the children still running are being ended (empty while none is),
  // and the status it gives them.
  std::string stopping;
  Status stopping_status = Status::device_failed;
  auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
  auto on_line = [&](size_t child, const std::string& text) {
    last_heard = Clock::now();
    UnitRun& u = units[child_unit[child]];
    const ChildLine line = parse_child_line(text);
    if (line.boot) u.in_boot = true;
    if (line.progress) {
      u.progress.done = std::min(line.progress->done, u.progress.total);
      const ProgressState sum = fleet_progress(units, elapsed());
      if (io.console) {
        io.out("\r" + progress_bar(sum));
        bar_shown = true;
      } else if (auto l = lines.next(sum)) {
        io.out(*l + "\n");
      }
    }
    if (line.result && !u.result) {
      u.result = line.result;
      u.seconds = elapsed();
    }
  };
  auto on_end = [&](size_t child, long code) {
    last_heard = Clock::now();
    UnitRun& u = units[child_unit[child]];
    if (!u.result) {
      // Whatever its exit code (a process ended from outside gets any): no
      // result line, no known outcome.
      u.result = stopping.empty()
                     ? Failure{Status::device_failed, "The update process ended without a result (exit status " +
                                                          std::to_string(code) + "); " + left_where(u, o.file)}
                     : Failure{stopping_status, stopping + " " + left_where(u, o.file)};
      u.seconds = elapsed();
    }
    --running;
  };
  // Ends the children still running and takes in their last lines and ends.
  auto stop_all = [&](const std::string& why, Status status) {
    stopping = why;
    stopping_status = status;
    if (io.stop_children) io.stop_children();
    loop.run_until([&] { return running == 0; }, Clock::now() + std::chrono::seconds(10));
  };

  if (!children.empty()) {
    std::string error = "this system cannot start processes";
    const size_t count = io.start_children ? io.start_children(children, on_line, on_end, error) : 0;
    running = count;
    if (count < children.size()) {
      const std::string& who = units[child_unit[count]].serial;
      io.err("The update process for " + who + " could not be started (" + error + ")" +
             (count ? "; the updates already started are stopped." : ".") + "\n");
      stop_all("Stopped because the update process for " + who + " could not be started;", Status::device_failed);
      for (size_t c = count; c < children.size(); ++c)
        units[child_unit[c]].result =
            Failure{Status::device_failed, c == count ? "Its update process could not be started: " + error + "."
                                                      : "Not started, as the update process for " + who +
                                                            " could not be started."};
    } else {
      // Each child bounds its own waits; a child silent for longer than any of
      // them is given up.
      const auto silence = std::chrono::seconds(90);
      auto asked_to_stop = [&] { return io.interrupted && io.interrupted(); };
      loop.run_until([&] { return running == 0 || asked_to_stop() || Clock::now() - last_heard > silence; },
                     Clock::time_point::max());
      if (running && asked_to_stop()) {
        if (bar_shown) io.out("\n");
        bar_shown = false;
        io.err("Stopped by Ctrl+C.\n");
        stop_all("Stopped by Ctrl+C;", Status::device_failed);
      } else if (running) {
        stop_all("The update process stopped reporting and was ended;", Status::timed_out);
      }
    }
    // A child the system would not let go of (bounded above) has no result yet.
    for (UnitRun& u : units)
      if (!u.result) u.result = Failure{Status::timed_out, "The update process did not end; " + left_where(u, o.file)};
  }
  if (bar_shown) io.out("\n");
  return report_fleet(units, io);
}

}  // namespace

Status run_command(const Options& o, Session& session, MainLoop& loop, Io& io) {
  switch (o.command) {
    case Command::list: return run_list(o, session, io);
    case Command::show: return run_show(o, session, io);
    case Command::set: return run_set(o, session, io);
    case Command::save: return run_save(o, session, io);
    case Command::load: return run_load(o, session, io);
    case Command::reset: return run_reset(o, session, io);
    case Command::update: return o.all ? run_update_all(o, session, loop, io) : run_update_one(o, session, io);
    case Command::udev_rule:
      if (io.udev_rule.empty()) return fail(o, io, {Status::usage, "This build has no udev rule."});
      io.out(io.udev_rule);
      return Status::ok;
  }
  return Status::usage;
}

std::string list_text(const std::vector<TUnitSeen>& units) {
  std::string out;
  for (const TUnitSeen& u : units) {
    out += padded(u.identity.serial, 16) + padded(model_name(u.identity.product), 12) +
           padded(mode_text(u.identity), 8) + u.identity.version;
    // The path is what --path takes for a unit its serial does not tell apart.
    if (known_by_path(units, u)) out += "  path " + u.identity.path;
    if (!u.held_by.empty()) out += "  (in use by " + u.held_by + ")";
    out += "\n";
  }
  return out;
}

std::string list_json(const std::vector<TUnitSeen>& units) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const TUnitSeen& u : units) {
    nlohmann::ordered_json unit;
    unit["serial"] = u.identity.serial;
    unit["product"] = model_name(u.identity.product);
    unit["mode"] = mode_text(u.identity);
    unit["firmware"] = u.identity.version;
    unit["path"] = u.identity.path;
    if (!u.held_by.empty()) unit["in_use_by"] = u.held_by;
    list.push_back(unit);
  }
  return list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string show_text(const TSettings& record, const TDeviceIdentity& unit) {
  std::string out = unit.serial + "  " + model_name(unit.product) + "  firmware " + unit.version + "\n";
  out += "active preset: " + shown_text(Key::active, record.preset) + "\n";
  out += "preset  ";
  const size_t widths[] = {6, 11, 8, 11, 9, 9, 0};
  for (size_t k = 0; k < preset_keys.size(); ++k) out += padded(std::string(key_name(preset_keys[k])), widths[k]);
  out += "\n";
  for (int p = 0; p < 4; ++p) {
    out += padded(std::to_string(p + 1) + (p == record.preset ? " *" : ""), 8);
    for (size_t k = 0; k < preset_keys.size(); ++k)
      out += padded(shown_text(preset_keys[k], stored_value(record, preset_keys[k], p)), widths[k]);
    out += "\n";
  }
  return out;
}

bool read_whole_file(const std::string& name, std::vector<uint8_t>& bytes, size_t limit) {
  std::error_code ec;
  const auto size = fs::file_size(utf8_path(name), ec);
  if (ec || size > limit) return false;
  std::ifstream in(utf8_path(name), std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad() && bytes.size() == size;
}

bool write_whole_file(const std::string& name, const std::string& text) {
  std::ofstream out(utf8_path(name), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return !out.fail();
}

}  // namespace mx::ctl
