#include "StateFolder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <iterator>
#include <sstream>
#include <system_error>
#include <type_traits>

namespace mxv {

namespace fs = std::filesystem;

namespace {

constexpr size_t control_log_capacity = 1000;

const char* mode_name(TMode mode) { return mode == TMode::boot ? "boot" : "normal"; }

const char* status_name(TFrameStatus status) {
  switch (status) {
    case TFrameStatus::handled: return "handled";
    case TFrameStatus::ignored: return "ignored";
    case TFrameStatus::rejected: return "rejected";
    case TFrameStatus::bad: return "bad";
  }
  return "?";
}

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool read_file(const fs::path& path, std::string& out) { return read_whole_file(path, out); }

std::string as_string(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace

bool write_atomically(const fs::path& target, const std::string& bytes) {
  // Two writers of one file (two processes, or two libraries in one) never
  // share a temporary file.
  static std::atomic<uint64_t> count{0};
  fs::path temp = target;
  temp += "." + std::to_string(current_process_id()) + "-" + std::to_string(++count) + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out)
      return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out)
      return false;
  }
  return replace_file(temp, target);
}

std::string format_frame_log(const std::deque<TFrameRecord>& log) {
  std::string out;
  for (const auto& r : log) {
    out += "seq=" + std::to_string(r.seq) + " t=" + std::to_string(r.time_ms) + " mode=" + mode_name(r.mode) +
           " status=" + status_name(r.status) + " cmd=" + hex_value(r.cmd, 2) +
           " len=" + std::to_string(r.payload.size()) + " payload=" + hex_bytes(r.payload);
    if (!r.note.empty())
      out += " note=" + r.note;
    out += '\n';
  }
  return out;
}

std::string format_device(const TDeviceModel& model) {
  const TIdentity id = model.identity();
  const TFaults& f = model.faults;
  std::ostringstream out;
  out << "present=" << (model.present() ? 1 : 0) << '\n'
      << "mode=" << mode_name(model.mode()) << '\n'
      << "manufacturer=" << id.manufacturer_string << '\n'
      << "product=" << id.product_string << '\n'
      << "serial=" << id.serial_string << '\n'
      << "vendor_id=" << hex_value(id.vendor, 4) << '\n'
      << "product_id=" << hex_value(id.product, 4) << '\n'
      << "version=" << version_text(model.version()) << '\n'
      << "frames_received=" << model.frames_received() << '\n'
      << "replies_sent=" << model.replies_sent() << '\n'
      << "device_faults=" << model.device_faults().size() << '\n'
      << "transfer_us=" << model.timing.report_us << '\n'
      << "erase_us=" << model.timing.erase_us << '\n'
      << "reboot_ms=" << model.timing.reboot_ms << '\n'
      << "refuse_from=" << f.refuse_from << '\n'
      << "reports_since_refuse=" << f.reports_since_refuse << '\n'
      << "corrupt_crc=" << f.corrupt_crc << '\n'
      << "drop_piece=" << f.drop_piece << ' ' << f.drop_count << '\n'
      << "no_finish_reply=" << f.no_finish_reply << '\n'
      << "bad_settings=" << f.bad_settings << '\n'
      << "short_settings=" << f.short_length << ' ' << f.short_settings << '\n'
      << "stall_ms=" << f.stall_ms << '\n';
  return out.str();
}

TStateFolder::TStateFolder(fs::path dir, std::string writer) : dir_(std::move(dir)), writer_(std::move(writer)) {}

std::optional<TMode> TStateFolder::saved_mode() const {
  std::string text;
  if (!read_file(dir_ / "device.txt", text))
    return std::nullopt;
  if (text.find("\nmode=boot\n") != std::string::npos)
    return TMode::boot;
  if (text.find("\nmode=normal\n") != std::string::npos)
    return TMode::normal;
  return std::nullopt;
}

std::string TStateFolder::folder_generation() const {
  std::string text;
  read_file(dir_ / "generation.txt", text);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

bool TStateFolder::prepare() {
  std::error_code ec;
  fs::create_directories(dir_ / "control", ec);
  // Temporary files of writes cut short (a process ended in the middle of
  // one): no write takes a minute.
  const auto stale = fs::file_time_type::clock::now() - std::chrono::minutes(1);
  for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code ignored;
    if (it->path().extension() == ".tmp" && fs::last_write_time(it->path(), ignored) < stale)
      fs::remove(it->path(), ignored);
  }
  return fs::is_directory(dir_ / "control", ec);
}

void TStateFolder::load(TDeviceModel& model) const {
  TSettings settings = model.settings();
  std::vector<uint8_t> flash = model.flash();
  std::vector<uint8_t> eeprom = model.eeprom();
  uint16_t version = model.version();
  std::string bytes;
  bool any = false;
  if (read_file(dir_ / "settings.bin", bytes) && bytes.size() == settings_size) {
    std::copy(bytes.begin(), bytes.end(), settings.begin());
    any = true;
  }
  if (read_file(dir_ / "flash.bin", bytes) && bytes.size() == flash_size) {
    flash.assign(bytes.begin(), bytes.end());
    any = true;
  }
  if (read_file(dir_ / "eeprom.bin", bytes) && bytes.size() == eeprom_size) {
    eeprom.assign(bytes.begin(), bytes.end());
    any = true;
  }
  if (read_file(dir_ / "version.txt", bytes)) {
    while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r' || bytes.back() == ' '))
      bytes.pop_back();
    if (auto v = parse_version(bytes); v && version_text(*v) == bytes) {
      version = *v;
      any = true;
    }
  }
  if (any)
    model.load(settings, flash, eeprom, version);

  // Timing and faults that control commands set, as device.txt names them: a
  // process that takes the unit over obeys them as the one before it did.
  if (!read_file(dir_ / "device.txt", bytes))
    return;
  std::map<std::string, std::vector<long long>> values;
  std::istringstream lines(bytes);
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos)
      continue;
    std::istringstream numbers(line.substr(eq + 1));
    for (long long n; numbers >> n;)
      values[line.substr(0, eq)].push_back(n);
  }
  auto take = [&](const char* key, size_t index, auto& field) {
    const auto it = values.find(key);
    if (it != values.end() && index < it->second.size())
      field = static_cast<std::remove_reference_t<decltype(field)>>(it->second[index]);
  };
  take("transfer_us", 0, model.timing.report_us);
  take("erase_us", 0, model.timing.erase_us);
  take("reboot_ms", 0, model.timing.reboot_ms);
  TFaults& f = model.faults;
  take("refuse_from", 0, f.refuse_from);
  take("reports_since_refuse", 0, f.reports_since_refuse);
  take("corrupt_crc", 0, f.corrupt_crc);
  take("drop_piece", 0, f.drop_piece);
  take("drop_piece", 1, f.drop_count);
  take("no_finish_reply", 0, f.no_finish_reply);
  take("bad_settings", 0, f.bad_settings);
  take("short_settings", 0, f.short_length);
  take("short_settings", 1, f.short_settings);
  take("stall_ms", 0, f.stall_ms);
}

TStateSnapshot TStateFolder::snapshot(const TDeviceModel& model) {
  const TRevisions& now = model.revisions();
  TStateSnapshot snap;
  const bool all = !flushed_once_;
  if (all || now.settings != written_.settings)
    snap.settings = model.settings();
  if (all || now.flash != written_.flash)
    snap.flash = model.flash();
  if (all || now.eeprom != written_.eeprom)
    snap.eeprom = model.eeprom();
  if (all || now.log != written_.log) {
    snap.log_changed = true;
    const auto& log = model.log();
    if (model.log_epoch() != log_epoch_) {
      snap.log_restarted = true;
      last_frame_seq_ = 0;
      log_epoch_ = model.log_epoch();
    }
    for (const auto& record : log)
      if (record.seq > last_frame_seq_)
        snap.new_frames.push_back(record);
    if (!log.empty())
      last_frame_seq_ = log.back().seq;
  }
  if (all || now.faults != written_.faults)
    snap.faults = model.device_faults();
  if (all || now.device != written_.device || now.log != written_.log || now.faults != written_.faults) {
    snap.version = version_text(model.version()) + '\n';
    snap.device = format_device(model);
  }
  written_ = now;
  flushed_once_ = true;
  return snap;
}

void TStateFolder::write(const TStateSnapshot& snap) {
  const bool changes = snap.settings || snap.flash || snap.eeprom || snap.log_changed || snap.faults ||
                       !snap.device.empty();
  if (snap.settings)
    write_atomically(dir_ / "settings.bin", std::string(snap.settings->begin(), snap.settings->end()));
  if (snap.flash)
    write_atomically(dir_ / "flash.bin", as_string(*snap.flash));
  if (snap.eeprom)
    write_atomically(dir_ / "eeprom.bin", as_string(*snap.eeprom));
  if (snap.log_changed) {
    if (snap.log_restarted)
      log_lines_.clear();
    for (const auto& record : snap.new_frames)
      log_lines_.push_back(format_frame_log({record}));
    while (log_lines_.size() > log_capacity)
      log_lines_.pop_front();
    std::string text;
    for (const auto& line : log_lines_)
      text += line;
    write_atomically(dir_ / "frames.log", text);
  }
  if (snap.faults) {
    std::string text;
    for (const auto& f : *snap.faults)
      text += f + '\n';
    write_atomically(dir_ / "faults.log", text);
  }
  // Last, so that what it says is already true of the files above.
  if (!snap.device.empty()) {
    write_atomically(dir_ / "version.txt", snap.version);
    write_atomically(dir_ / "device.txt", snap.device);
  }
  if (changes) {
    generation_ = writer_ + " " + std::to_string(++generations_);
    write_atomically(dir_ / "generation.txt", generation_ + '\n');
  }
}

std::vector<TCommandFile> TStateFolder::ready_commands() const {
  std::vector<TCommandFile> files;
  std::error_code ec;
  for (fs::directory_iterator it(dir_ / "control", ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path path = it->path();
    if (path.extension() != ".cmd")
      continue;
    std::string text;
    // A file still being written (no final line end yet) waits for the next poll.
    if (!read_file(path, text) || text.empty() || text.back() != '\n')
      continue;
    TCommandFile file;
    file.name = path.filename().string();
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      file.lines.push_back(line);
    }
    files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return files;
}

void TStateFolder::finish_command(const TCommandFile& file, const std::vector<std::string>& results) {
  for (size_t i = 0; i < file.lines.size() && i < results.size(); ++i)
    control_log_.push_back(file.name + ": " + file.lines[i] + " -> " + results[i]);
  while (control_log_.size() > control_log_capacity)
    control_log_.pop_front();
  std::string text;
  for (const auto& line : control_log_)
    text += line + '\n';
  write_atomically(dir_ / "control.log", text);
  std::error_code ec;
  fs::remove(dir_ / "control" / file.name, ec);
}

}  // namespace mxv
