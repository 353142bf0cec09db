// `update --all`: the parent runs one `update --serial S --child -- FILE` (or
// `--path P` for a unit known by its path) per unit in parallel and reads what
// each child writes to its output, one line each:
//   boot                         the unit is in its boot loader now
//   progress DONE TOTAL          image bytes sent so far
//   result STATUS TEXT           the end: exit status, the new version (0) or the error sentence
// The parent shows the sum of the progress and one line per unit at the end.
#pragma once

#include "ExitStatus.h"
#include "Progress.h"

#include <optional>
#include <string>
#include <vector>

namespace mx::ctl {

std::string child_boot_line();
std::string child_progress_line(size_t done, size_t total);
std::string child_result_line(Status status, const std::string& text);

struct ChildLine {
  bool boot = false;
  std::optional<ProgressState> progress;   // done and total only
  std::optional<Failure> result;           // status and text (the version on success)
};
// Lines of any other shape give an empty ChildLine.
ChildLine parse_child_line(const std::string& line);

struct UnitRun {
  std::string serial;              // how the unit is named: its serial, or its path without one
  ProgressState progress;
  std::optional<Failure> result;   // none yet: still running
  double seconds = 0;              // from start to result
  std::vector<std::string> choice; // what picks the unit: {"--serial", S} or {"--path", P}
  bool in_boot = false;            // its child said it is in the boot loader
};

// The sum of every unit's bytes.
ProgressState fleet_progress(const std::vector<UnitRun>& units, double seconds);

// "VX540K-000001: updated to firmware 2.1 in 3.2 s" or
// "VX540K-000002: failed (status 5): The unit did not ..."
std::string fleet_summary_line(const UnitRun& unit);

}  // namespace mx::ctl
