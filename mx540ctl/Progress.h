// How mx540ctl shows an update's progress: on a console one bar redrawn in
// place (percent, bytes, rate); anywhere else one line per 10 %.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace mx::ctl {

struct ProgressState {
  size_t done = 0;    // image bytes sent
  size_t total = 0;   // image bytes of the file (flash + EEPROM)
  double seconds = 0; // since the first block
};

// Whole percent, rounded down (100 only when everything is sent).
int progress_percent(const ProgressState& p);

// "[##########..........]  50 %  34048/68096 bytes  33.2 KiB/s" (no line end;
// the console writer puts a carriage return before it). The rate needs at
// least a tenth of a second of data, else "-- KiB/s".
std::string progress_bar(const ProgressState& p, int width = 30);

// One line per 10 %: gives the line when `p` has reached the next tenth since
// the last line given ("30 %  20480/68096 bytes"); at most one per call, the
// highest tenth reached.
class ProgressLines {
 public:
  std::optional<std::string> next(const ProgressState& p);

 private:
  int printed_ = 0;   // tenths already printed
};

}  // namespace mx::ctl
