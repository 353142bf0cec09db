// mx540ctl's conversation with one unit through the device link: finding and
// binding it (its lock taken), reading and writing the settings record, the
// settings reset and the firmware update, each wait bounded. Portable: the
// link's platform and locks are set by the caller (win/ on Windows).
#pragma once

#include "ExitStatus.h"
#include "MainLoop.h"
#include "Progress.h"
#include "USB.h"
#include "UpdateFile.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mx::ctl {

// The bounds of the waits (a loaded machine included).
struct Timeouts {
  std::chrono::milliseconds answer{10000};     // a reply to a request, a unit to be opened
  std::chrono::milliseconds boot{20000};       // boot requests until the boot loader is there
  std::chrono::milliseconds block{10000};      // one update block (erase and write)
  std::chrono::milliseconds restart{30000};    // back in normal mode after the update
  std::chrono::milliseconds unheard{3000};     // the bus listed again while a unit that left is not back
};

class Session {
 public:
  explicit Session(MainLoop& loop, Timeouts timeouts = {});

  // Installs the link's host (call once, before anything else here). Link
  // errors go to `error` as they happen.
  void install(std::function<void(const std::string&)> error);

  // Loads the HID library and lists every unit without binding any.
  std::optional<Failure> scan(std::vector<TUnitSeen>& units);

  // The unit a command works on: the one at `path`, the one with `serial`, or
  // the only one connected. Two units with the serial asked for need --path.
  std::optional<Failure> pick(const std::vector<TUnitSeen>& units, const std::string& serial,
                              const std::string& path, TUnitSeen& unit) const;

  // Binds the unit (its lock taken) and waits until it is open. In normal mode
  // also until the first settings read has been answered. `by_path`: the unit
  // is chosen by its device path too (known_by_path).
  std::optional<Failure> connect(const TUnitSeen& unit, bool by_path);
  TDeviceIdentity identity() const;

  // Normal mode only: the settings record as the unit holds it.
  std::optional<Failure> read_settings(TSettings& out);
  // The whole record written once, then read back and compared.
  std::optional<Failure> write_settings(const TSettings& wanted);

  // Boot requests until the unit is in its boot loader.
  std::optional<Failure> enter_boot();
  // cmd_update_close, then waits for normal mode.
  std::optional<Failure> leave_boot();
  // In boot mode: cmd_reset and the unit's answer.
  std::optional<Failure> reset_settings();

  // In boot mode: the file checked against the boot loader's name, the blocks,
  // cmd_finish and its answer, and the unit back in normal mode. `progress`
  // runs on this thread after each block; `version` is the new firmware's.
  std::optional<Failure> update(const std::vector<uint8_t>& file_bytes, const std::string& file_name,
                                const std::function<void(const ProgressState&)>& progress, std::string& version);

  // Ends the link (worker stopped, lock given back).
  void stop();

  // Why a unit could not be opened, where the platform can tell more than
  // "could not be opened" (Linux: permission denied); nullopt otherwise.
  void set_open_failure(std::function<std::optional<Failure>(const std::string& serial)> explain) {
    open_failure_ = std::move(explain);
  }
  // Units that leave the bus and come back at the same moment can be lost by
  // the system's HID stack (Wine 8 drops both when their hidraw node names
  // are reused under it). When set, each of this session's re-enumerations
  // (into the boot loader, back to normal mode) is made only once `take`
  // gave it its turn among all programs, and the turn is held until the unit
  // is back. `take` waits until `until` at most; a null holder means no turn
  // was had, and the unit goes anyway.
  using TurnHolder = std::shared_ptr<void>;
  void set_reenumeration_turn(std::function<TurnHolder(Clock::time_point until)> take) { take_turn_ = std::move(take); }

 private:
  bool wait(const std::function<bool()>& done, std::chrono::milliseconds bound);
  bool unit_open(bool boot) const;
  // Until the unit is open in that mode or `deadline`; `step` first and then
  // every 200 ms. A unit's re-enumeration that no device change announced
  // (Wine under load loses some) is found by listing the bus again every
  // `unheard`.
  bool await_unit(bool boot, Clock::time_point deadline, const std::function<void()>& step = {});

  MainLoop& loop_;
  Timeouts timeouts_;
  std::string serial_, path_, label_;
  bool by_path_ = false;
  class Host;
  std::atomic<unsigned> reads_answered_{0};
  std::atomic<bool> finish_answered_{false};
  std::atomic<bool> reset_answered_{false};
  std::function<std::optional<Failure>(const std::string& serial)> open_failure_;
  std::function<TurnHolder(Clock::time_point until)> take_turn_;
  TurnHolder turn(std::chrono::milliseconds wait_at_most);
};

// A unit is known by its device path when it has no serial number or another
// connected unit has the same serial: then --path chooses it, and `update
// --all` hands its child the path.
bool known_by_path(const std::vector<TUnitSeen>& units, const TUnitSeen& unit);
// How messages name a unit: its serial, or its device path without one.
std::string unit_label(const TDeviceIdentity& unit);

// The name the boot loader of a unit with this product will show: the
// product, a blank and "(boot)" (an update file names the product with that
// blank: "MX-540KTR ").
std::string boot_product(const TDeviceIdentity& unit);

}  // namespace mx::ctl
