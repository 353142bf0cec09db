// The device link: the control panel's side of the MX-540KTR protocol, and the
// operations the windows call.
//
// Windows never talk to the HID library to send. They post a request into the
// request mailbox; the link worker (Tthr) takes it, frames it and sends it
// through the library's HIDSetOutputReport. Replies arrive on the library's read
// thread through on_report, which reassembles and checks them and updates the
// settings record. The parts, each with its own state and lock:
//   settings.h  the settings record and the rules that keep edits until written
//   mailbox.h   the request mailbox and the worker
//   device.h    the library table, the open connection, frames out, the unit's identity
//   binding.h   writing and loading HID_Lib.dll
//   unit_lock.h the per-unit lock shared with other programs that drive units
// Everything here is portable; the Windows way of loading the library lives in
// link/win/ behind TLinkPlatform. Strings are UTF-8.
#pragma once

#include "HIDinterface.h"
#include "binding.h"
#include "device.h"
#include "frame.h"
#include "settings.h"
#include "unit_lock.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The maker string that identifies the device among the HID devices present.
inline constexpr char maker_string[] = "VORNIX";

using mx::link::TDeviceIdentity;

// Whole-record access from any thread: each call sees or leaves the record whole.
// `edit` runs under the record's lock and must not call back into the link.
TSettings settings_get();
// The key (unit_key.h: serial, or path without one) of the unit whose values
// the record holds (its read reply was copied); empty before any. Until it
// names the unit connected now, the record still shows the one before.
std::string settings_unit();
void settings_edit(const std::function<void(TSettings&)>& edit);
// An edit and its write in one step (the windows' and the tool's edits):
// `edit` gives whether it changed anything, and a change is written to the
// unit as `save` writes it, with no reply able to land in between. Gives
// what `edit` gave. `edit` must not call back into the link.
bool settings_edit_and_save(const std::function<bool(TSettings&)>& edit);

// Link state and flags (process-wide).
extern std::atomic<bool> dev_open, boot_mode, send_pending, sending, refresh_pending;

// What the program gives the link: its windows, as the link sees them. The
// Windows program implements it (app/umain.cpp); tests use TLinkHostFunctions
// (link_testing.h).
class LinkHost {
 public:
  virtual ~LinkHost() = default;
  // Any thread: run the routine on the main thread soon, from its message loop.
  // False when it was dropped and will never run.
  virtual bool run_on_main(std::function<void()> routine) = 0;
  virtual void show_settings() = 0;                       // Tfmain::refresh; main thread only
  virtual void report_error(const std::string& text) = 0;  // message box, OK button, application title as caption
  virtual void enable_controls(bool en) = 0;              // fmain's Cont(en)
  virtual void show_unit(const TDeviceIdentity& unit) = 0;  // the unit found (an empty identity: none)
  virtual void enable_update(bool en) = 0;                // fu's select and def
  virtual void on_update_finished() = 0;                  // reply 0xFA, called on the library's read thread
  virtual void on_settings_reset() = 0;                   // reply 0xFD, called on the library's read thread
};
// Call on the main thread. The link keeps the host until another one is set.
void link_set_host(std::shared_ptr<LinkHost> host);

// The unit discovery found last (an empty identity: none).
TDeviceIdentity device_identity();

// Sharing units with other programs. With locks set, discovery binds a unit
// only once it holds that unit's lock, and never opens a unit another program
// holds. Locks go by the unit's key (unit_key.h): its serial, or its device
// path when it has no serial. The link keeps the lock of the unit it is bound
// to while that unit re-enumerates (boot loader and back, same key) and gives
// it back when it binds another unit or at usb_stop. None set (the default):
// no locking. Call before usb_init.
void link_set_unit_locks(std::shared_ptr<mx::link::TUnitLocks> locks);
#if defined(_WIN32)
// link/win/ (CMake target link_win): a named mutex per unit key in the session
// namespace, with the holder's program file name published beside it. Each
// call gives a new, independent set of locks.
std::shared_ptr<mx::link::TUnitLocks> link_win32_unit_locks();
#endif

// Which unit discovery binds. Empty (the default): the first VORNIX unit whose
// lock this process can take. A serial: only that unit (none when it is absent
// or held); a serial that no unit has binds nothing and still lists every unit
// in units_seen. A path: only the unit at that device path (with a serial too,
// only if both match), for units without a serial or sharing one. Takes effect
// at the next discovery pass (usb_init, rescan).
void link_choose_unit(const std::string& serial, const std::string& path = {});

// The program that holds the lock of the unit with this key (unit_key.h) now,
// asked without taking it; empty when the unit is free or this process drives
// it, or no locks are set (or the platform's locks cannot tell).
std::string unit_holder(const std::string& key);

// Every VORNIX unit the last discovery pass saw, in bus order.
struct TUnitSeen {
  TDeviceIdentity identity;
  // The program holding the unit when discovery asked for its lock and was
  // refused; empty when it is free or ours, or when discovery did not ask
  // (it had bound a unit already, or was pointed at another serial).
  std::string held_by;
};
std::vector<TUnitSeen> units_seen();

void link_set_platform(std::shared_ptr<const TLinkPlatform> platform);
#if defined(_WIN32)
// link/win/ (CMake target link_win): the Windows implementation of TLinkPlatform.
const TLinkPlatform& link_win32_platform();
void link_use_win32_platform();   // link_set_platform with the Windows implementation
#endif

// Binding and discovery (main thread).
bool usb_init();              // worker start, write/load HID_Lib.dll by full path, bind, register, rescan; once per process
void rescan();
// FormClose, and the tool's end: stops the worker and closes the unit within
// a quarter of a second, also when a report call hangs in the library (the
// worker inside it is left to the process's end).
void usb_stop();

// The handler registered with HIDsetEventHandler (library's read thread).
void HIDAPI_CALL on_report(THIDReport report, uint8_t count);

// One frame out through HIDSetOutputReport; called by the worker only.
bool send_msg(uint8_t cmd, const uint8_t* data, size_t len);

// Posting operations (main thread).
void save();                                     // one write of the whole record; returns at once
void post_request(uint8_t cmd);                  // no payload, returns at once (cmd_read, cmd_boot_request,
                                                 //   cmd_update_close, cmd_finish); cmd_read is not posted in boot mode
bool post_and_wait(uint8_t cmd);                 // no payload, waits until sent (defClick's cmd_reset)
// The waiting posts (post_and_wait, set_erase, write_flash, write_eep) wait
// at most `bound` (15 s unless set) for their frame to go out; a unit that
// takes no report for that long has its connection given up (the post gives
// false, and discovery runs again on the main thread). `while_waiting`, when
// given, runs on the poster's thread about every 50 ms while it waits.
void link_set_send_wait(std::chrono::milliseconds bound, std::function<void()> while_waiting = {});
bool set_erase(uint16_t adr);
bool write_flash(uint16_t adr, const uint8_t* b, size_t n);
bool write_eep(uint16_t adr, const uint8_t* b, size_t n);

// Payloads of the update commands (big-endian address, length, bytes).
std::vector<uint8_t> erase_payload(uint16_t adr);
// n + 4 must fit the frame (n at most 65526); a longer block makes a payload that
// send_msg refuses with an error message.
std::vector<uint8_t> block_payload(uint16_t adr, const uint8_t* b, size_t n);
