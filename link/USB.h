// The device link: the control panel's side of the MX-540KTR protocol.
//
// Windows never talk to the HID library to send. They post a request into the
// request mailbox; the link worker (Tthr) takes it, frames it and sends it
// through the library's HIDSetOutputReport. Replies arrive on the library's read
// thread through on_report, which reassembles and checks them and updates the
// settings record. Everything here is portable; the Windows way of loading the
// library lives in link/win/ behind TLinkPlatform.
#pragma once

#include "HIDinterface.h"
#include "frame.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The maker string that identifies the device among the HID devices present.
inline constexpr char maker_string[] = "VORNIX";

#pragma pack(push, 1)
// The settings record as it travels: the active preset, then seven arrays with
// one entry per preset (preset p's fields sit at bytes 1+p, 5+p, ... 25+p).
struct TSettings {
  uint8_t preset;
  uint8_t lr[4];         // bit 0 left, bit 1 right
  uint8_t src[4];        // SDI pair n = channels 2n+1, 2n+2
  int8_t gain[4];        // dB
  uint8_t ref[4];        // -n dBFS
  uint8_t scale[4];      // 0 dB, 1 dBFS, 2 dB-18..+10
  uint8_t delay[4];      // 10 ms steps
  uint8_t delay_gpi[4];  // 10 ms steps
};
#pragma pack(pop)
static_assert(sizeof(TSettings) == 29);

// Whole-record access from any thread: each call sees or leaves the record whole.
// `edit` runs under the record's lock and must not call back into the link.
TSettings settings_get();
void settings_edit(const std::function<void(TSettings&)>& edit);

// Brings a received record into range (preset mod 6, src & 0x0F, gain clamped to
// -15..15, ref & 0x1F, scale mod 3, delay mod 35, delay_gpi mod 18; lr as is).
void sanitize_settings(TSettings& s);

// Link state and flags (process-wide).
extern std::atomic<bool> dev_open, boot_mode, send_pending, sending, refresh_pending;

// What the program gives the link. The Windows program fills it; tests fill their own.
// Empty members are skipped.
struct LinkHost {
  std::function<void()> refresh;               // Tfmain::refresh; the link calls it on the main thread only
  std::function<void()> wake_main;             // any thread: make the main thread call link_run_main_tasks() soon
  std::function<void()> pump_messages;         // main thread: handle pending UI messages once (save's wait)
  std::function<void(const std::string&)> show_error;   // message box, OK button, application title as caption
  std::function<void(bool)> cont;              // fmain's Cont(en)
  std::function<void(const std::string& name, const std::string& serial, const std::string& version)> show_device;
                                               // fu's dev_name, dev_serial, dev_version (empty strings empty them)
  std::function<void(bool)> enable_update_buttons;      // fu's select and def
  std::function<void()> update_finished;       // reply 0xFA, called on the library's read thread
  std::function<void()> settings_reset;        // reply 0xFD, called on the library's read thread
};
// Call on the main thread: the calling thread becomes the one that runs main tasks.
void link_set_host(LinkHost host);
// Main thread: runs what the worker asked the main thread to do (refresh).
void link_run_main_tasks();

// How the link finds, writes and loads HID_Lib.dll. Strings are UTF-8 (also the
// error texts the link hands to LinkHost::show_error).
struct TLinkPlatform {
  std::function<bool(const std::string& name)> file_exists;             // in the current folder
  std::function<bool(std::vector<uint8_t>& bytes)> read_own_resource;   // RCDATA "HID" of the program
  // Writes the file; on failure throws std::runtime_error carrying the system's error text.
  std::function<void(const std::string& name, const std::vector<uint8_t>& bytes)> write_file;
  std::function<std::string(const std::string& name)> full_path;        // name in the current folder
  std::function<void*(const std::string& path)> load_library;           // nullptr when it does not load
  std::function<void*(void* library, const char* name)> resolve;        // nullptr when missing
  std::function<void()> lower_thread_priority;                          // on the worker, at its start
};
void link_set_platform(TLinkPlatform platform);
#if defined(_WIN32)
// link/win/ (CMake target link_win): the Windows implementation of TLinkPlatform.
TLinkPlatform link_win32_platform();
void link_use_win32_platform();   // link_set_platform(link_win32_platform())
#endif

inline constexpr char hid_library_file[] = "HID_Lib.dll";

// The 18 library entries, in the order they are resolved.
struct THIDEntries {
  TUSBsetEventHandler USBsetEventHandler = nullptr;
  THIDsetEventHandler HIDsetEventHandler = nullptr;
  THIDscanForDevices HIDscanForDevices = nullptr;
  THIDGetDeviceInfo HIDGetDeviceInfo = nullptr;
  THIDopenDevice HIDopenDevice = nullptr;
  THIDcloseDevice HIDcloseDevice = nullptr;
  THIDwriteDevice HIDwriteDevice = nullptr;
  THIDreadDevice HIDreadDevice = nullptr;
  THIDReportSize HIDOutputReportSize = nullptr;
  THIDReportSize HIDInputReportSize = nullptr;
  THIDReportSize HIDFeatureReportSize = nullptr;
  THIDReportCount HIDOutputReportCount = nullptr;
  THIDReportCount HIDInputReportCount = nullptr;
  THIDReportCount HIDFeatureReportCount = nullptr;
  THIDReportTransfer HIDSetOutputReport = nullptr;
  THIDReportTransfer HIDGetInputReport = nullptr;
  THIDReportTransfer HIDSetFeatureReport = nullptr;
  THIDReportTransfer HIDGetFeatureReport = nullptr;
};

enum class TLoadOutcome {
  bound,          // loaded by full path; the seven entries the link calls are present
  no_file,        // no file, and none could be written
  not_loadable,   // the file does not load
  missing_entry,  // one of the seven entries the link calls is absent
};
struct TLoadResult {
  TLoadOutcome outcome = TLoadOutcome::no_file;
  std::string path;         // the full path the library was loaded from
  std::string write_error;  // the system's text when writing the file failed
};
// Steps 2-5 of the binding: write the library file from the program's resource
// when no file of that name exists, load it by its full path in the current
// folder (never through the search order), resolve the 18 exports by name.
// Entries that do not resolve stay empty.
TLoadResult load_hid_library(const TLinkPlatform& platform, THIDEntries& entries);

// Binding and discovery (main thread).
bool usb_init();              // worker start, write/load HID_Lib.dll by full path, bind, register, rescan; once per process
void rescan();
void usb_stop();              // FormClose: asks the worker to stop, does not wait

// The handler registered with HIDsetEventHandler (library's read thread).
void HIDAPI_CALL on_report(THIDReport report, uint8_t count);

// One frame out through HIDSetOutputReport; called by the worker only.
bool send_msg(uint8_t cmd, const uint8_t* data, size_t len);

// Posting operations (main thread).
void save();                                     // cmd_write with the live settings record
void post_request(uint8_t cmd);                  // no payload, returns at once (cmd_read, cmd_boot_request,
                                                 //   cmd_update_close, cmd_finish); cmd_read is not posted in boot mode
bool post_and_wait(uint8_t cmd);                 // no payload, waits until sent (defClick's cmd_reset)
bool set_erase(uint16_t adr);
bool write_flash(uint16_t adr, const uint8_t* b, size_t n);
bool write_eep(uint16_t adr, const uint8_t* b, size_t n);

// Payloads of the update commands (big-endian address, length, bytes).
std::vector<uint8_t> erase_payload(uint16_t adr);
// n + 4 must fit the frame (n at most 65526); a longer block makes a payload that
// send_msg refuses with an error message.
std::vector<uint8_t> block_payload(uint16_t adr, const uint8_t* b, size_t n);
