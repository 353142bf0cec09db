// The virtual device's folder: where it shows its state to tests and demos and
// where they leave control commands for it (layout in README.md).
//
// Every state file is written whole to a temporary name and then renamed over
// the old one, so a reader sees either the old or the new content, never half.
// device.txt is written last on every flush: once it shows frames_received=N,
// the other files hold at least the effect of those N frames.
#pragma once

#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "DeviceModel.h"

namespace mxv {

// Replaces `target` with `temp` in one step (rename over an existing file).
bool replace_file(const std::filesystem::path& temp, const std::filesystem::path& target);
// This process's id, for names no other process uses.
unsigned long current_process_id();
// The whole file; false when it cannot be read. On Windows the file is opened
// so that another process may still replace it meanwhile (replace_file).
bool read_whole_file(const std::filesystem::path& path, std::string& out);

// Writes `bytes` to `target` through a temporary file of a name no other
// writer uses (this process's id and a count) and replace_file.
bool write_atomically(const std::filesystem::path& target, const std::string& bytes);

std::string format_frame_log(const std::deque<TFrameRecord>& log);
std::string format_device(const TDeviceModel& model);

// The parts of the model's state that changed since the last flush, copied
// out under the model's lock so that the files are written without it.
struct TStateSnapshot {
  std::optional<TSettings> settings;
  std::optional<std::vector<uint8_t>> flash, eeprom;
  bool log_changed = false;
  bool log_restarted = false;               // the log was cleared: start the file anew
  std::vector<TFrameRecord> new_frames;
  std::optional<std::vector<std::string>> faults;
  std::string version, device;              // empty when unchanged
};

struct TCommandFile {
  std::string name;                // file name inside control/
  std::vector<std::string> lines;  // without line ends
};

class TStateFolder {
 public:
  // `writer` names the process (owner.txt's name) in the generations it writes.
  explicit TStateFolder(std::filesystem::path dir, std::string writer = {});

  // Creates the folder and control/; false when that failed (the device then
  // keeps working in memory).
  bool prepare();
  // Takes settings, flash, EEPROM and version from an earlier run (or another
  // process), where present and whole, and the timing and faults device.txt
  // names; the device keeps what it has for whatever is missing.
  void load(TDeviceModel& model) const;

  // Every write() that changes a file ends with generation.txt: the writer
  // and a count. The folder holds this object's own state as long as the
  // generation there is the one it wrote last (empty: none written yet).
  std::string folder_generation() const;
  // The mode device.txt names: where the unit was when its last driver let go
  // of it (a unit left in its boot loader stays there).
  std::optional<TMode> saved_mode() const;
  const std::string& written_generation() const { return generation_; }
  // Writes the parts that changed since the last flush (all of them the first
  // time): snapshot() under the model's lock, then write() without it.
  TStateSnapshot snapshot(const TDeviceModel& model);
  void write(const TStateSnapshot& snapshot);
  void flush(const TDeviceModel& model) { write(snapshot(model)); }

  // Command files ready to run (name ends in ".cmd" and the content ends with a
  // line end), in name order.
  std::vector<TCommandFile> ready_commands() const;
  // Removes the command file and adds its results to control.log.
  void finish_command(const TCommandFile& file, const std::vector<std::string>& results);

 private:
  std::filesystem::path dir_;
  std::string writer_;
  std::string generation_;      // the last one written
  uint64_t generations_ = 0;
  bool flushed_once_ = false;
  TRevisions written_;          // as far as snapshots have been taken
  uint64_t last_frame_seq_ = 0; // of the last frame taken into log_lines_
  uint64_t log_epoch_ = 0;
  std::deque<std::string> log_lines_;
  std::deque<std::string> control_log_;
};

}  // namespace mxv
