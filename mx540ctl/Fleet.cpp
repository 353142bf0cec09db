#include "Fleet.h"

#include <cstdio>
#include <sstream>

namespace mx::ctl {

std::string child_boot_line() { return "boot"; }

std::string child_progress_line(size_t done, size_t total) {
  return "progress " + std::to_string(done) + " " + std::to_string(total);
}

std::string child_result_line(Status status, const std::string& text) {
  std::string one_line = text;
  for (char& c : one_line)
    if (c == '\n' || c == '\r') c = ' ';
  return "result " + std::to_string(exit_code(status)) + " " + one_line;
}

ChildLine parse_child_line(const std::string& line) {
  ChildLine out;
  std::istringstream in(line);
  std::string word;
  in >> word;
  if (word == "boot") {
    out.boot = true;
  } else if (word == "progress") {
    unsigned long long done = 0, total = 0;
    if (in >> done >> total && done <= total) {
      ProgressState p;
      p.done = static_cast<size_t>(done);
      p.total = static_cast<size_t>(total);
      out.progress = p;
    }
  } else if (word == "result") {
    long code = 0;
    if (in >> code) {
      std::string text;
      std::getline(in, text);
      if (!text.empty() && text.front() == ' ') text.erase(0, 1);
      if (!text.empty() && text.back() == '\r') text.pop_back();
      out.result = Failure{status_from_code(code), text};
    }
  }
  return out;
}

ProgressState fleet_progress(const std::vector<UnitRun>& units, double seconds) {
  ProgressState sum;
  sum.seconds = seconds;
  for (const UnitRun& u : units) {
    sum.done += u.progress.done;
    sum.total += u.progress.total;
  }
  return sum;
}

std::string fleet_summary_line(const UnitRun& unit) {
  char time[32];
  std::snprintf(time, sizeof time, "%.1f s", unit.seconds);
  if (!unit.result) return unit.serial + ": no result";
  if (unit.result->status == Status::ok)
    return unit.serial + ": updated to firmware " + unit.result->message + " in " + time;
  return unit.serial + ": failed (status " + std::to_string(exit_code(unit.result->status)) +
         "): " + unit.result->message;
}

}  // namespace mx::ctl
