// mx540ctl's command line (CLI11): the commands, their options, --help and
// --version. Portable: it only turns arguments (UTF-8) into Options.
#pragma once

#include "SettingValues.h"

#include <optional>
#include <string>
#include <vector>

namespace mx::ctl {

enum class Command { list, show, set, save, load, update, reset, udev_rule };

struct Options {
  Command command = Command::list;
  bool json = false;
  std::string serial;             // empty: the only unit connected
  std::string path;               // the unit at this device path (for units without a serial or sharing one)
  std::optional<int> preset;      // set: 0-3
  std::vector<Pair> pairs;        // set: checked, in the order given
  std::string file;               // save, load, update
  bool all = false;               // update every unit
  bool child = false;             // update: run for a parent `update --all`
};

struct ParsedCommandLine {
  std::optional<Options> options;  // set: run it
  int exit_code = 0;               // otherwise: end with this status...
  std::string out, err;            // ...after writing these
};

ParsedCommandLine parse_command_line(const std::vector<std::string>& args);

std::string version_text();

}  // namespace mx::ctl
