#include "ExitStatus.h"

#include <algorithm>

namespace mx::ctl {

Failure update_file_failure(UpdateFileFault fault, const std::string& file) {
  std::string reason;
  switch (fault) {
    case UpdateFileFault::none: return {};
    case UpdateFileFault::unreadable: reason = "it cannot be read"; break;
    case UpdateFileFault::too_large: reason = "it is larger than any update file"; break;
    case UpdateFileFault::wrong_device: reason = "it is meant for another model"; break;
    default: reason = std::string("it is malformed (") + update_file_fault_text(fault) + ")"; break;
  }
  return {Status::file_rejected, "The update file " + file + " was refused: " + reason + ". Nothing was sent."};
}

Status combined_status(const std::vector<Status>& units) {
  Status timeout = Status::ok;
  for (Status s : units) {
    if (s == Status::ok) continue;
    if (s != Status::timed_out) return s;
    timeout = s;
  }
  return timeout;
}

Status status_from_code(long code) {
  if (code >= 0 && code <= 5) return static_cast<Status>(code);
  return Status::device_failed;
}

}  // namespace mx::ctl
