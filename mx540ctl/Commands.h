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
  // `update --all`: starts one process of this program per entry of
  // `children`, each given as its arguments (after the program's name), in
  // order. `line` gets each line a child writes and `ended` its exit code,
  // both through the main loop. Gives how many were started; fewer than all:
  // `error` says why the next one could not start, and those started run on.
  // The children end with this process, whatever ends it.
  std::function<size_t(const std::vector<std::vector<std::string>>& children,
                       std::function<void(size_t child, const std::string& line)> line,
                       std::function<void(size_t child, long code)> ended, std::string& error)>
      start_children;
  // Ends every child still running; on return no child's line or end is
  // still to be posted (they are in the main loop by then).
  std::function<void()> stop_children;
  // Whether the operator asked to stop (Ctrl+C); the main loop is notified then.
  std::function<bool()> interrupted;
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
