#include "Progress.h"

#include <cstdio>

namespace mx::ctl {

namespace {
std::string bytes_text(const ProgressState& p) {
  return std::to_string(p.done) + "/" + std::to_string(p.total) + " bytes";
}

std::string percent_text(int percent) {
  char text[8];
  std::snprintf(text, sizeof text, "%3d %%", percent);
  return text;
}
}  // namespace

int progress_percent(const ProgressState& p) {
  if (p.total == 0 || p.done >= p.total) return p.total == 0 ? 0 : 100;
  return static_cast<int>(p.done * 100 / p.total);
}

std::string progress_bar(const ProgressState& p, int width) {
  const int percent = progress_percent(p);
  const int filled = percent * width / 100;
  std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                    std::string(static_cast<size_t>(width - filled), '.') + "] ";
  char rate[32];
  if (p.seconds >= 0.1)
    std::snprintf(rate, sizeof rate, "%.1f KiB/s", static_cast<double>(p.done) / 1024.0 / p.seconds);
  else
    std::snprintf(rate, sizeof rate, "-- KiB/s");
  return bar + percent_text(percent) + "  " + bytes_text(p) + "  " + rate;
}

std::optional<std::string> ProgressLines::next(const ProgressState& p) {
  const int tenth = progress_percent(p) / 10;
  if (tenth <= printed_) return std::nullopt;
  printed_ = tenth;
  return std::to_string(tenth * 10) + " %  " + bytes_text(p);
}

}  // namespace mx::ctl
