// mx540ctl's commands over a Session. Portable; what differs per platform
// (the console, files by UTF-8 name, child processes for `update --all`)
// comes in through Io.
#pragma once

#include "CommandLine.h"
#include "ExitStatus.h"
#include "Fleet.h"
#include "MainLoop.h"
#include "Session.h"

#include <functional>
#include <string>
#include <vector>

namespace mx::ctl {

struct Io {
  std::function<void(const std::string&)> out;   // text for the output stream
  std::function<void(const std::string&)> err;   // text for the error stream
  bool console = false;                           // the output stream is a console: progress bar in place
  // `update --all`: starts `update FILE --serial S --child` for each serial;
  // `line` gets each line a child writes and `ended` its exit code, both on
  // the main loop's thread. False when a child could not be started.
  std::function<bool(const std::vector<std::string>& serials, const std::string& file,
                     std::function<void(size_t unit, const std::string& line)> line,
                     std::function<void(size_t unit, long code)> ended)>
      start_children;
  std::function<void()> stop_children;   // ends children still running
  std::string udev_rule;                  // `udev-rule` prints it (Linux)
};

// Runs the command; gives the exit status.
Status run_command(const Options& options, Session& session, MainLoop& loop, Io& io);

// Text of `list` and `show`.
std::string list_text(const std::vector<TUnitSeen>& units);
std::string list_json(const std::vector<TUnitSeen>& units);
std::string show_text(const TSettings& record, const TDeviceIdentity& unit);

// Whole files by UTF-8 name.
bool read_whole_file(const std::string& name, std::vector<uint8_t>& bytes, size_t limit);
bool write_whole_file(const std::string& name, const std::string& text);

}  // namespace mx::ctl
