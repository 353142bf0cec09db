// The virtual MX-540KTR: the device's side of the protocol, with no platform
// underneath. It takes output reports as the control pipe delivers them,
// assembles frames, acts on the commands as the device's firmware and boot
// loader would, and hands back input reports and bus events (leave / arrive)
// for the simulated HID platform to deliver.
//
// The model keeps no clock and no thread: every call that depends on time
// takes the current time in milliseconds, scheduled bus changes run from
// poll(), and the cost of a report (transfer time, erase time) is returned
// for the caller to spend. One lock around the model is the caller's business.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "frame.h"

namespace mxv {

inline constexpr size_t settings_size = 29;
inline constexpr size_t flash_size = 64 * 1024;
inline constexpr size_t flash_page = 512;
inline constexpr size_t eeprom_size = 4 * 1024;
inline constexpr size_t log_capacity = 4096;  // frames kept in memory and in the log file

// Command and reply codes of the device protocol (frame.h).
using ::cmd_boot_request;
using ::cmd_eeprom;
using ::cmd_erase;
using ::cmd_finish;
using ::cmd_flash;
using ::cmd_read;
using ::cmd_reset;
using ::cmd_update_close;
using ::cmd_write;

// Made-up USB identity; only the strings matter to the control panel.
inline constexpr uint16_t vendor_id = 0x1209;
inline constexpr uint16_t product_id_normal = 0x540A;
inline constexpr uint16_t product_id_boot = 0x540B;
inline constexpr uint16_t factory_version = 0x0110;  // shows as "1.16"
inline constexpr const char* manufacturer = "VORNIX";
inline constexpr const char* product_normal = "MX-540KTR";
inline constexpr const char* product_boot = "MX-540KTR (boot)";
inline constexpr const char* serial_number = "VX540K-000001";

using TSettings = std::array<uint8_t, settings_size>;
using TInputReport = std::array<uint8_t, hid_report_len>;

enum class TMode : uint8_t { normal, boot };

struct TIdentity {
  uint16_t vendor = vendor_id;
  uint16_t product = product_id_normal;
  uint16_t version = factory_version;
  std::string manufacturer_string = manufacturer;
  std::string product_string = product_normal;
  std::string serial_string = serial_number;
};

// What became of one received frame.
enum class TFrameStatus : uint8_t {
  handled,   // acted on (and answered where the command has a reply)
  ignored,   // not a command of the current mode, or unknown
  rejected,  // a command of this mode with a payload the device cannot use
  bad,       // failed the length or CRC check; cmd and payload are what arrived
};

struct TFrameRecord {
  uint64_t seq = 0;      // 1 for the first frame since power-up or clear-log
  uint64_t time_ms = 0;
  TMode mode = TMode::normal;
  TFrameStatus status = TFrameStatus::handled;
  uint8_t cmd = 0;
  std::vector<uint8_t> payload;
  std::string note;      // why a frame was ignored or rejected, or what a fault did to its reply
};

struct TTiming {
  uint32_t report_us = 1000;         // one control transfer per USB frame
  uint32_t erase_us = 20000;         // one page erase
  uint32_t leave_ms = 10;            // from a boot request or close to leaving the bus
  uint32_t finish_leave_ms = 100;    // from the answer to cmd_finish to leaving the bus
  uint32_t reboot_ms = 400;          // off the bus before coming back
};

struct TFaults {
  uint32_t refuse_from = 0;          // 0 off; n: the n-th output report from now on and all later ones fail
  uint32_t reports_since_refuse = 0;
  uint32_t corrupt_crc = 0;          // replies left to send with a wrong CRC
  int drop_piece = -1;               // index of the piece to drop, -1 off
  uint32_t drop_count = 0;           // replies left to lose that piece
  uint32_t no_finish_reply = 0;      // cmd_finish frames left to leave unanswered
  uint32_t bad_settings = 0;         // settings replies left with out-of-range values
  uint32_t short_settings = 0;       // settings replies left with a short payload
  uint16_t short_length = 20;
  uint32_t stall_ms = 0;             // the next output report keeps the host's call busy this long
  bool operator==(const TFaults&) const = default;
};

enum class TBusEvent : uint8_t { leave, arrive };

struct TReportOutcome {
  bool accepted = false;   // false: the control transfer failed (HIDSetOutputReport gives 0)
  uint32_t cost_us = 0;    // how long the transfer keeps the host's call busy
};

// Revisions of the parts of the state, raised on every change so that a writer
// of the state folder knows what to write again.
struct TRevisions {
  uint64_t settings = 0, flash = 0, eeprom = 0, device = 0, log = 0, faults = 0;
};

// The record that the out-of-range fault sends: values outside every field's range.
TSettings out_of_range_settings();
TSettings default_settings();
std::vector<uint8_t> factory_flash();

// "VERSION=" followed by decimal major, ".", decimal minor (each 0-255), as the
// firmware image carries it; nullopt when the image holds no such text.
std::optional<uint16_t> find_version(const std::vector<uint8_t>& image);
using ::version_text;  // 0x0110 -> "1.16"
std::optional<uint16_t> parse_version(const std::string& text);
// "0x" and at least `width` upper-case hex digits, as notes and device.txt show values.
std::string hex_value(unsigned value, int width);

class TDeviceModel {
 public:
  TDeviceModel();

  // --- the bus ---
  bool present() const { return present_; }
  TMode mode() const { return mode_; }
  TIdentity identity() const;
  // One output report on the control pipe, report ID first, `len` bytes.
  TReportOutcome output_report(const uint8_t* report, size_t len, uint64_t now_ms);
  std::vector<TInputReport> take_input_reports();
  std::vector<TBusEvent> take_bus_events();
  // Runs the bus changes that are due.
  void poll(uint64_t now_ms);
  // Time of the next scheduled bus change, if any.
  std::optional<uint64_t> next_due_ms() const;

  // --- control ---
  // One control command (see README.md); gives "ok" or "error: ...".
  std::string control(const std::string& line, uint64_t now_ms);
  void unplug();
  void plug();
  void replug(uint64_t now_ms, uint32_t off_ms);
  void reenumerate(uint64_t now_ms, TMode mode, uint16_t version, uint32_t leave_after_ms);
  void factory_reset();
  void clear_log();
  void load(const TSettings& settings, const std::vector<uint8_t>& flash,
            const std::vector<uint8_t>& eeprom, uint16_t version);
  // The unit's serial number (several units on one bus each have their own).
  void set_serial(const std::string& serial);
  // Powered up running this (as a unit left in its boot loader comes up in it).
  void start_in(TMode mode);

  // --- inspection ---
  const TSettings& settings() const { return settings_; }
  const std::vector<uint8_t>& flash() const { return flash_; }
  const std::vector<uint8_t>& eeprom() const { return eeprom_; }
  uint16_t version() const { return version_; }
  const std::deque<TFrameRecord>& log() const { return log_; }
  uint64_t frames_received() const { return frames_received_; }
  // Raised by clear-log, when the sequence numbers start again at 1.
  uint64_t log_epoch() const { return log_epoch_; }
  uint64_t replies_sent() const { return replies_sent_; }
  const std::vector<std::string>& device_faults() const { return device_faults_; }
  const TRevisions& revisions() const { return revisions_; }

  TTiming timing;
  TFaults faults;

 private:
  void handle_frame(const TFrame& frame, TFrameRecord& record, uint64_t now_ms, uint32_t& cost_us);
  void handle_normal(const TFrame& frame, TFrameRecord& record, uint64_t now_ms);
  void handle_boot(const TFrame& frame, TFrameRecord& record, uint64_t now_ms, uint32_t& cost_us);
  void reply(uint8_t cmd, const std::vector<uint8_t>& payload, TFrameRecord& record);
  void reply_settings(uint8_t cmd, TFrameRecord& record);
  void record_fault(const std::string& what);
  void append_log(TFrameRecord record);
  void leave_bus();
  void arrive(TMode mode, uint16_t version);

  struct TStep {
    uint64_t due_ms;
    TBusEvent event;
    TMode mode;         // for arrive
    uint16_t version;   // for arrive
  };

  bool present_ = true;
  TMode mode_ = TMode::normal;
  std::string serial_ = serial_number;
  uint16_t version_ = factory_version;
  TSettings settings_{};
  std::vector<uint8_t> flash_;
  std::vector<bool> programmed_;  // per flash byte: written since its page was last erased
  std::vector<uint8_t> eeprom_;
  TFrameAssembler assembler_{TMarkKind::total};
  std::vector<TInputReport> input_;
  std::vector<TBusEvent> bus_events_;
  std::vector<TStep> steps_;
  std::deque<TFrameRecord> log_;
  uint64_t log_seq_ = 0;
  uint64_t log_epoch_ = 0;
  uint8_t pending_cmd_ = 0;  // first byte of the frame being collected
  uint64_t frames_received_ = 0;
  uint64_t replies_sent_ = 0;
  std::vector<std::string> device_faults_;
  TRevisions revisions_;
  // What the boot loader has written since it started, for the cmd_finish summary.
  uint32_t flash_bytes_written_ = 0;
  uint32_t eeprom_bytes_written_ = 0;
};

}  // namespace mxv
