// The control commands of the virtual device: one line each, words separated by
// blanks. README.md lists them; this is the one place that reads them.
#include "DeviceModel.h"

#include <cstdlib>
#include <sstream>

namespace mxv {

namespace {

bool read_number(const std::string& word, uint32_t& out) {
  if (word.empty())
    return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(word.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFul)
    return false;
  out = static_cast<uint32_t>(value);
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string TDeviceModel::control(const std::string& line, uint64_t now_ms) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;)
    words.push_back(w);
  if (words.empty() || words[0][0] == '#')
    return "ok";
  const std::string& verb = words[0];
  const size_t argc = words.size() - 1;

  // A command acts only once all of its words are known good: one refused
  // with an error has changed nothing. `numbers` checks that there are at most
  // max_args arguments and that each is a number.
  auto numbers = [&](size_t max_args) -> std::string {
    if (argc > max_args)
      return "error: too many arguments for " + verb;
    for (size_t i = 1; i <= argc; ++i) {
      uint32_t value = 0;
      if (!read_number(words[i], value))
        return "error: '" + words[i] + "' is not a number";
    }
    return {};
  };
  // Argument i (already checked), or `fallback` when it is absent.
  auto arg = [&](size_t i, uint32_t fallback) -> uint32_t {
    uint32_t value = fallback;
    if (i <= argc)
      read_number(words[i], value);
    return value;
  };
  auto changed = [&]() { ++revisions_.device; };

  if (verb == "unplug" || verb == "plug" || verb == "boot" || verb == "normal" || verb == "clear" ||
      verb == "factory-reset" || verb == "clear-log") {
    if (auto error = numbers(0); !error.empty())
      return error;
    if (verb == "unplug") {
      unplug();
    } else if (verb == "plug") {
      plug();
    } else if (verb == "boot" || verb == "normal") {
      reenumerate(now_ms, verb == "boot" ? TMode::boot : TMode::normal, version_, 0);
    } else if (verb == "clear") {
      faults = TFaults{};
      changed();
    } else if (verb == "factory-reset") {
      factory_reset();
    } else {
      clear_log();
      device_faults_.clear();
      ++revisions_.faults;
    }
    return "ok";
  }
  if (verb == "replug") {
    if (auto error = numbers(1); !error.empty())
      return error;
    replug(now_ms, arg(1, timing.reboot_ms));
    return "ok";
  }
  if (verb == "refuse-from" || verb == "corrupt-crc" || verb == "no-finish-reply" || verb == "bad-settings") {
    if (auto error = numbers(1); !error.empty())
      return error;
    const uint32_t n = arg(1, 1);
    if (verb == "refuse-from") {
      faults.refuse_from = n;
      faults.reports_since_refuse = 0;
    } else if (verb == "corrupt-crc") {
      faults.corrupt_crc = n;
    } else if (verb == "no-finish-reply") {
      faults.no_finish_reply = n;
    } else {
      faults.bad_settings = n;
    }
    changed();
    return "ok";
  }
  if (verb == "stall") {
    if (argc != 1)
      return "error: stall needs the time in ms";
    if (auto error = numbers(1); !error.empty())
      return error;
    faults.stall_ms = arg(1, 0);
    changed();
    return "ok";
  }
  if (verb == "drop-piece") {
    if (argc < 1)
      return "error: drop-piece needs the index of the piece";
    if (auto error = numbers(2); !error.empty())
      return error;
    faults.drop_piece = static_cast<int>(arg(1, 0));
    faults.drop_count = arg(2, 1);
    changed();
    return "ok";
  }
  if (verb == "short-settings") {
    if (auto error = numbers(2); !error.empty())
      return error;
    const uint32_t length = arg(1, 20);
    if (length >= settings_size)
      return "error: a short settings reply has fewer than 29 bytes";
    faults.short_length = static_cast<uint16_t>(length);
    faults.short_settings = arg(2, 1);
    changed();
    return "ok";
  }
  if (verb == "transfer-us" || verb == "erase-us" || verb == "reboot-ms" || verb == "finish-leave-ms") {
    if (argc < 1)
      return "error: " + verb + " needs a value";
    if (auto error = numbers(1); !error.empty())
      return error;
    (verb == "transfer-us"       ? timing.report_us
     : verb == "erase-us"        ? timing.erase_us
     : verb == "finish-leave-ms" ? timing.finish_leave_ms
                                 : timing.reboot_ms) = arg(1, 0);
    changed();
    return "ok";
  }
  if (verb == "settings") {
    if (argc != 1 || words[1].size() != 2 * settings_size)
      return "error: settings needs the 29-byte record as 58 hex digits";
    TSettings record{};
    for (size_t i = 0; i < settings_size; ++i) {
      const int hi = hex_digit(words[1][2 * i]), lo = hex_digit(words[1][2 * i + 1]);
      if (hi < 0 || lo < 0)
        return "error: settings needs the 29-byte record as 58 hex digits";
      record[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    settings_ = record;
    ++revisions_.settings;
    return "ok";
  }
  if (verb == "version") {
    const auto version = argc == 1 ? parse_version(words[1]) : std::nullopt;
    if (!version)
      return "error: version needs MAJOR.MINOR, each 0 to 255";
    version_ = *version;
    ++revisions_.device;
    return "ok";
  }
  return "error: unknown command '" + verb + "'";
}

}  // namespace mxv
