// mx540ctl's exit statuses and what leads to each.
#pragma once

#include "UpdateFile.h"

#include <string>
#include <vector>

namespace mx::ctl {

enum class Status : int {
  ok = 0,
  usage = 1,          // the command line, or a KEY=VALUE pair, is wrong
  no_unit = 2,        // no unit, not the one asked for, or held by another program
  file_rejected = 3,  // the update file or the settings file does not fit
  device_failed = 4,  // the unit refused, answered wrongly or could not be reached
  timed_out = 5,      // a bounded wait ran out
};

inline int exit_code(Status s) { return static_cast<int>(s); }

// A failure: its status and the sentence that goes to the error stream.
struct Failure {
  Status status = Status::ok;
  std::string message;
};

// An update file the reader refused: always "file rejected", with the reason.
Failure update_file_failure(UpdateFileFault fault, const std::string& file);

// `update --all`: the status of the whole run from each unit's, in unit order.
// 0 when every unit succeeded; otherwise the first unit's failure that is not
// a timeout, or a timeout when that is all there was.
Status combined_status(const std::vector<Status>& units);

// A status number from a child process; anything unknown is a device failure.
Status status_from_code(long code);

}  // namespace mx::ctl
