#include "DeviceModel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace mxv {

TSettings default_settings() {
  TSettings s{};
  s[0] = 0;                               // preset 1 active
  for (int p = 0; p < 4; ++p) {
    s[1 + p] = 3;                         // lr: both channels
    s[5 + p] = static_cast<uint8_t>(p);   // src: Ch_1-2, Ch_3-4, Ch_5-6, Ch_7-8
    s[9 + p] = 0;                         // gain 0 dB
    s[13 + p] = 18;                       // ref -18 dBFS
    s[17 + p] = 0;                        // scale dB
    s[21 + p] = 0;                        // delay 0 ms
    s[25 + p] = 0;                        // GPI delay 0 ms
  }
  return s;
}

TSettings out_of_range_settings() {
  // Each field just past or far past its range, different for every preset so
  // that a host's clamping of each field shows on its own.
  return TSettings{
      7,                          // preset
      9,    4,    0xFF, 3,        // lr
      0x1A, 8,    0xF0, 15,       // src
      0x80, 0x10, 0xF1, 0x7F,     // gain: -128, 16, -15, 127
      0x25, 32,   0xFF, 31,       // ref
      4,    3,    0xFF, 2,        // scale
      40,   35,   0xFF, 34,       // delay
      18,   19,   0xFF, 17,       // delay_gpi
  };
}

std::vector<uint8_t> factory_flash() {
  std::vector<uint8_t> image(flash_size, 0xFF);
  static const char banner[] = "VORNIX MX-540KTR firmware VERSION=1.16";
  std::memcpy(image.data(), banner, sizeof banner);
  return image;
}

std::optional<uint16_t> parse_version(const std::string& text) {
  unsigned major = 0, minor = 0;
  size_t i = 0;
  auto number = [&](unsigned& out) {
    size_t digits = 0;
    out = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 4) {
      out = out * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
      ++digits;
    }
    return digits > 0 && out <= 255;
  };
  if (!number(major) || i >= text.size() || text[i] != '.')
    return std::nullopt;
  ++i;
  if (!number(minor))
    return std::nullopt;
  return static_cast<uint16_t>(major << 8 | minor);
}

std::optional<uint16_t> find_version(const std::vector<uint8_t>& image) {
  static const char key[] = "VERSION=";
  const size_t key_len = sizeof key - 1;
  auto it = image.begin();
  while (true) {
    it = std::search(it, image.end(), key, key + key_len);
    if (it == image.end())
      return std::nullopt;
    it += static_cast<std::ptrdiff_t>(key_len);
    const size_t at = static_cast<size_t>(it - image.begin());
    const std::string tail(image.begin() + static_cast<std::ptrdiff_t>(at),
                           image.begin() + static_cast<std::ptrdiff_t>(std::min(image.size(), at + 9)));
    if (auto version = parse_version(tail))
      return version;
  }
}

std::string hex_value(unsigned value, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", width, value);
  return text;
}

TDeviceModel::TDeviceModel() { factory_reset(); }

void TDeviceModel::factory_reset() {
  settings_ = default_settings();
  flash_ = factory_flash();
  programmed_.assign(flash_size, true);
  eeprom_.assign(eeprom_size, 0xFF);
  version_ = factory_version;
  ++revisions_.settings;
  ++revisions_.flash;
  ++revisions_.eeprom;
  ++revisions_.device;
}

void TDeviceModel::load(const TSettings& settings, const std::vector<uint8_t>& flash,
                        const std::vector<uint8_t>& eeprom, uint16_t version) {
  settings_ = settings;
  flash_ = flash;
  flash_.resize(flash_size, 0xFF);
  programmed_.assign(flash_size, true);
  eeprom_ = eeprom;
  eeprom_.resize(eeprom_size, 0xFF);
  version_ = version;
  ++revisions_.settings;
  ++revisions_.flash;
  ++revisions_.eeprom;
  ++revisions_.device;
}

void TDeviceModel::start_in(TMode mode) {
  mode_ = mode;
  ++revisions_.device;
}

void TDeviceModel::set_serial(const std::string& serial) {
  serial_ = serial;
  ++revisions_.device;
}

TIdentity TDeviceModel::identity() const {
  TIdentity id;
  id.version = version_;
  id.serial_string = serial_;
  if (mode_ == TMode::boot) {
    id.product = product_id_boot;
    id.product_string = product_boot;
  }
  return id;
}

TReportOutcome TDeviceModel::output_report(const uint8_t* report, size_t len, uint64_t now_ms) {
  if (!present_)
    return {false, 0};
  TReportOutcome outcome{true, timing.report_us};
  if (faults.stall_ms) {
    // A unit that hangs on one transfer: the host's call returns only after it.
    outcome.cost_us = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{faults.stall_ms} * 1000, UINT32_MAX));
    faults.stall_ms = 0;
    ++revisions_.device;
  }
  if (faults.refuse_from) {
    if (faults.reports_since_refuse < faults.refuse_from) {
      ++faults.reports_since_refuse;
      ++revisions_.device;  // the count goes to the folder with the fault
    }
    if (faults.reports_since_refuse >= faults.refuse_from) {
      outcome.accepted = false;
      return outcome;
    }
  }

  // Keep the first frame byte of a frame being collected, so that a frame
  // that fails its checks can still be logged with the command it claimed.
  uint8_t piece[protocol_report_len] = {};
  std::copy_n(report, std::min(len, protocol_report_len), piece);  // an empty report may have no storage
  const uint8_t first_byte = piece[report_header];
  const bool starts_frame = get_be16(piece + 1) == 0;

  TFrame frame;
  const auto verdict = assembler_.feed(report, len, frame);
  if (starts_frame)
    pending_cmd_ = first_byte;
  if (verdict == TFrameAssembler::TFeed::partial)
    return outcome;

  TFrameRecord record;
  record.time_ms = now_ms;
  record.mode = mode_;
  if (verdict == TFrameAssembler::TFeed::bad) {
    record.status = TFrameStatus::bad;
    record.cmd = pending_cmd_;
    record.note = "length or CRC check failed";
  } else {
    record.cmd = frame.cmd;
    record.payload = frame.payload;
    handle_frame(frame, record, now_ms, outcome.cost_us);
  }
  ++frames_received_;
  append_log(std::move(record));
  return outcome;
}

void TDeviceModel::handle_frame(const TFrame& frame, TFrameRecord& record, uint64_t now_ms,
                                uint32_t& cost_us) {
  if (mode_ == TMode::normal)
    handle_normal(frame, record, now_ms);
  else
    handle_boot(frame, record, now_ms, cost_us);
}

void TDeviceModel::handle_normal(const TFrame& frame, TFrameRecord& record, uint64_t now_ms) {
  switch (frame.cmd) {
    case cmd_read:
      reply_settings(cmd_read, record);
      return;
    case cmd_write:
      if (frame.payload.size() != settings_size) {
        record.status = TFrameStatus::rejected;
        record.note = "settings record of " + std::to_string(frame.payload.size()) + " bytes, 29 expected";
        record_fault("cmd_write rejected: " + record.note);
        return;
      }
      std::copy(frame.payload.begin(), frame.payload.end(), settings_.begin());
      ++revisions_.settings;
      reply_settings(cmd_write, record);
      return;
    case cmd_boot_request:
      if (!steps_.empty()) {
        record.status = TFrameStatus::ignored;
        record.note = "already restarting";
        return;
      }
      reenumerate(now_ms, TMode::boot, version_, timing.leave_ms);
      record.note = "restarting into the boot loader";
      return;
    default:
      record.status = TFrameStatus::ignored;
      record.note = "not a command of normal mode";
      return;
  }
}

void TDeviceModel::handle_boot(const TFrame& frame, TFrameRecord& record, uint64_t now_ms,
                               uint32_t& cost_us) {
  const auto& p = frame.payload;
  auto reject = [&](const std::string& why) {
    record.status = TFrameStatus::rejected;
    record.note = why;
    record_fault(why);
  };
  switch (frame.cmd) {
    case cmd_erase: {
      if (p.size() != 2)
        return reject("cmd_erase with a payload of " + std::to_string(p.size()) + " bytes, 2 expected");
      const size_t address = get_be16(p.data());
      const size_t page = address & ~(flash_page - 1);
      std::fill(flash_.begin() + static_cast<std::ptrdiff_t>(page),
                flash_.begin() + static_cast<std::ptrdiff_t>(page + flash_page), 0xFF);
      std::fill(programmed_.begin() + static_cast<std::ptrdiff_t>(page),
                programmed_.begin() + static_cast<std::ptrdiff_t>(page + flash_page), false);
      ++revisions_.flash;
      cost_us += timing.erase_us;
      record.note = "page " + hex_value(static_cast<unsigned>(page), 4) + " erased";
      if (page != address)
        record.note += " (address not at a page start)";
      return;
    }
    case cmd_flash:
    case cmd_eeprom: {
      const bool to_flash = frame.cmd == cmd_flash;
      const char* what = to_flash ? "cmd_flash" : "cmd_eeprom";
      if (p.size() < 4)
        return reject(std::string(what) + " with a payload of " + std::to_string(p.size()) + " bytes");
      const size_t address = get_be16(p.data());
      const size_t n = get_be16(p.data() + 2);
      if (p.size() != n + 4)
        return reject(std::string(what) + " at " + hex_value(static_cast<unsigned>(address), 4) + ": block length " +
                      std::to_string(n) + " but " + std::to_string(p.size() - 4) + " bytes sent");
      auto& memory = to_flash ? flash_ : eeprom_;
      if (address + n > memory.size())
        return reject(std::string(what) + " at " + hex_value(static_cast<unsigned>(address), 4) + ": " +
                      std::to_string(n) + " bytes run past the end of the " +
                      std::to_string(memory.size()) + "-byte memory");
      if (to_flash) {
        const auto begin = programmed_.begin() + static_cast<std::ptrdiff_t>(address);
        const auto hit = std::find(begin, begin + static_cast<std::ptrdiff_t>(n), true);
        if (hit != begin + static_cast<std::ptrdiff_t>(n)) {
          const size_t at = static_cast<size_t>(hit - programmed_.begin());
          return reject("cmd_flash at " + hex_value(static_cast<unsigned>(address), 4) + ": page " +
                        hex_value(static_cast<unsigned>(at & ~(flash_page - 1)), 4) +
                        " not erased; block not written");
        }
        std::fill(begin, begin + static_cast<std::ptrdiff_t>(n), true);
        flash_bytes_written_ += static_cast<uint32_t>(n);
        ++revisions_.flash;
      } else {
        eeprom_bytes_written_ += static_cast<uint32_t>(n);
        ++revisions_.eeprom;
      }
      std::copy(p.begin() + 4, p.end(), memory.begin() + static_cast<std::ptrdiff_t>(address));
      return;
    }
    case cmd_finish: {
      if (faults.no_finish_reply) {
        --faults.no_finish_reply;
        record.note = "left unanswered (fault); staying in the boot loader";
        return;
      }
      const uint16_t new_version = find_version(flash_).value_or(version_);
      const std::string summary = "MX-540KTR update complete: VERSION=" + version_text(new_version) +
                                  ", flash " + std::to_string(flash_bytes_written_) + " bytes, EEPROM " +
                                  std::to_string(eeprom_bytes_written_) + " bytes";
      reply(cmd_finish, std::vector<uint8_t>(summary.begin(), summary.end()), record);
      reenumerate(now_ms, TMode::normal, new_version, timing.finish_leave_ms);
      if (!record.note.empty())
        record.note += "; ";
      record.note += "restarting with firmware " + version_text(new_version);
      return;
    }
    case cmd_update_close:
      if (!steps_.empty()) {
        record.status = TFrameStatus::ignored;
        record.note = "already restarting";
        return;
      }
      reenumerate(now_ms, TMode::normal, version_, timing.leave_ms);
      record.note = "restarting with firmware " + version_text(version_);
      return;
    case cmd_reset:
      settings_ = default_settings();
      ++revisions_.settings;
      reply(cmd_reset, {}, record);
      return;
    default:
      record.status = TFrameStatus::ignored;
      record.note = "not a command of the boot loader";
      return;
  }
}

void TDeviceModel::reply_settings(uint8_t cmd, TFrameRecord& record) {
  TSettings data = settings_;
  std::vector<std::string> notes;
  if (faults.bad_settings) {
    --faults.bad_settings;
    data = out_of_range_settings();
    notes.push_back("out-of-range settings sent (fault)");
  }
  std::vector<uint8_t> payload(data.begin(), data.end());
  if (faults.short_settings) {
    --faults.short_settings;
    payload.resize(std::min<size_t>(faults.short_length, settings_size));
    notes.push_back("short settings reply of " + std::to_string(payload.size()) + " bytes (fault)");
  }
  for (const auto& n : notes)
    record.note += (record.note.empty() ? "" : "; ") + n;
  reply(cmd, payload, record);
}

void TDeviceModel::reply(uint8_t cmd, const std::vector<uint8_t>& payload, TFrameRecord& record) {
  auto frame = build_frame(cmd, payload.data(), payload.size());
  std::vector<std::string> notes;
  if (faults.corrupt_crc) {
    --faults.corrupt_crc;
    frame.back() ^= 0x5A;
    notes.push_back("reply CRC corrupted (fault)");
  }
  auto reports = cut_frame(frame, TMarkKind::end_mark);
  if (faults.drop_count && faults.drop_piece >= 0 && static_cast<size_t>(faults.drop_piece) < reports.size()) {
    --faults.drop_count;
    reports.erase(reports.begin() + faults.drop_piece);
    notes.push_back("reply piece " + std::to_string(faults.drop_piece) + " dropped (fault)");
  }
  for (const auto& n : notes)
    record.note += (record.note.empty() ? "" : "; ") + n;
  input_.insert(input_.end(), reports.begin(), reports.end());
  ++replies_sent_;
}

void TDeviceModel::record_fault(const std::string& what) {
  device_faults_.push_back(what);
  ++revisions_.faults;
}

void TDeviceModel::append_log(TFrameRecord record) {
  record.seq = ++log_seq_;
  log_.push_back(std::move(record));
  while (log_.size() > log_capacity)
    log_.pop_front();
  ++revisions_.log;
}

void TDeviceModel::clear_log() {
  log_.clear();
  log_seq_ = 0;
  ++log_epoch_;
  ++revisions_.log;
}

std::vector<TInputReport> TDeviceModel::take_input_reports() {
  std::vector<TInputReport> out;
  out.swap(input_);
  return out;
}

std::vector<TBusEvent> TDeviceModel::take_bus_events() {
  std::vector<TBusEvent> out;
  out.swap(bus_events_);
  return out;
}

void TDeviceModel::leave_bus() {
  if (!present_)
    return;
  present_ = false;
  assembler_.clear();
  input_.clear();
  bus_events_.push_back(TBusEvent::leave);
  ++revisions_.device;
}

void TDeviceModel::arrive(TMode mode, uint16_t version) {
  if (mode != mode_ && mode == TMode::boot) {
    flash_bytes_written_ = 0;
    eeprom_bytes_written_ = 0;
  }
  mode_ = mode;
  version_ = version;
  present_ = true;
  bus_events_.push_back(TBusEvent::arrive);
  ++revisions_.device;
}

void TDeviceModel::poll(uint64_t now_ms) {
  while (!steps_.empty() && steps_.front().due_ms <= now_ms) {
    const TStep step = steps_.front();
    steps_.erase(steps_.begin());
    if (step.event == TBusEvent::leave)
      leave_bus();
    else if (!present_)
      arrive(step.mode, step.version);
  }
}

std::optional<uint64_t> TDeviceModel::next_due_ms() const {
  if (steps_.empty())
    return std::nullopt;
  return steps_.front().due_ms;
}

void TDeviceModel::unplug() {
  steps_.clear();
  leave_bus();
}

void TDeviceModel::plug() {
  steps_.clear();
  if (!present_)
    arrive(mode_, version_);
}

void TDeviceModel::replug(uint64_t now_ms, uint32_t off_ms) {
  unplug();
  steps_.push_back({now_ms + off_ms, TBusEvent::arrive, mode_, version_});
}

void TDeviceModel::reenumerate(uint64_t now_ms, TMode mode, uint16_t version, uint32_t leave_after_ms) {
  steps_.clear();
  uint64_t at = now_ms;
  if (present_) {
    at += leave_after_ms;
    steps_.push_back({at, TBusEvent::leave, mode, version});
  }
  steps_.push_back({at + timing.reboot_ms, TBusEvent::arrive, mode, version});
}

}  // namespace mxv
