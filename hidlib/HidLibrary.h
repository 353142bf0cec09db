// The HID library's state and logic over a HidPlatform: the device table,
// CurrentDevice, the two handlers, scan/probe/item tables, the report calls and
// one pass of the read thread. The exports (HidExports) and the shells that
// load the library (the Windows DLL, LoadedLibrary natively) sit on top.
//
// Thread safety: the table, CurrentDevice and the handler pointers are guarded
// by one mutex that is held only while they are read or written, never during
// a platform transfer and never while a host handler runs. An open device's
// handle is shared as a reference-counted lease: a close or rescan drops the
// table's reference, and the platform handle is closed when the last transfer
// using it has finished, so no read or write ever goes through a closed handle.
#pragma once

#include "HIDinterface.h"
#include "HidPlatform.h"

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

namespace hidlib {

// A reset table entry: empty strings, zero lengths and items, no handle.
THIDDeviceInfo reset_entry();

// Stores `text` as a length-prefixed string, cut after 255 bytes.
void set_string(THIDString& field, const std::string& text);

// Entry 0 of an empty table describes the whole report minus its report-ID byte.
uint8_t whole_report_count(uint16_t byte_length);

// Fills one item table from a value-capability answer, fix-ups included.
void build_item_table(THIDReportItem (&items)[HID_ITEMS_PER_TABLE], uint16_t byte_length,
                      const ValueCapsAnswer& answer);

// The item count of `report_id` in one item table (8-bit sum, or the whole
// report minus its ID byte when nothing matches).
uint8_t item_count(const THIDReportItem (&items)[HID_ITEMS_PER_TABLE], uint16_t byte_length,
                   uint8_t report_id);

// Reads one interface path into a record, as the scan does.
THIDDeviceInfo probe(HidPlatform& platform, const std::string& path);

constexpr uint32_t WRITE_TIMEOUT_MS = 200;
constexpr uint32_t INPUT_BUFFERS = 64;
constexpr uint32_t IDLE_PAUSE_MS = 100;
constexpr uint32_t POLL_PAUSE_MS = 1;

class HidLibrary {
 public:
  explicit HidLibrary(HidPlatform& platform);
  ~HidLibrary();
  HidLibrary(const HidLibrary&) = delete;
  HidLibrary& operator=(const HidLibrary&) = delete;

  HidPlatform& platform() { return platform_; }

  uint8_t scan_for_devices();
  void get_device_info(uint8_t index, THIDDeviceInfo* info);
  bool open_device(uint8_t index);
  bool close_device();
  uint8_t write_device(const THIDReport& report);
  uint8_t read_device(THIDReport* report);
  uint8_t report_size(ReportType type);
  uint8_t report_count(ReportType type, uint8_t report_id);
  uint8_t set_output_report(void* buffer);
  uint8_t get_input_report(void* buffer);
  uint8_t set_feature_report(void* buffer);
  uint8_t get_feature_report(void* buffer);
  void set_report_handler(THIDReportHandler handler);
  void set_usb_handler(TUSBEventHandler handler);

  int32_t current_device();

  // One pass of the read thread: polls the current device if one is open and a
  // report handler is registered, delivers what it took, and returns the pause
  // in ms before the next pass. An exception from the handler propagates: the
  // read thread ends on it.
  uint32_t read_pass();

  // The device-change window's reaction to WM_DEVICECHANGE: calls the
  // registered device-change handler, if any. Returns whether it called one.
  bool device_change_message();

 private:
  struct OpenHandle;
  struct Current;
  bool current_open(Current& out);
  uint8_t control_call(ReportType type, void* buffer,
                       bool (HidPlatform::*call)(HidHandle, void*, uint16_t));
  uint8_t read_into(const std::shared_ptr<OpenHandle>& handle, uint16_t length,
                    const THIDReportItem (&items)[HID_ITEMS_PER_TABLE], THIDReport& report);

  HidPlatform& platform_;
  std::mutex mutex_;
  std::array<THIDDeviceInfo, HID_MAX_DEVICES> devices_;
  std::array<std::shared_ptr<OpenHandle>, HID_MAX_DEVICES> handles_;
  int32_t current_ = -1;
  uint64_t generation_ = 0;  // counts scans, so an open can tell the table changed under it
  THIDReportHandler report_handler_ = nullptr;
  TUSBEventHandler usb_handler_ = nullptr;
};

// The process's library, which the 18 exports work on (HidExports.cpp). The
// Windows DLL installs it while loading; native hosts install their own.
// With none installed every export fails.
void install_process_library(HidLibrary* library);
HidLibrary* process_library();

}  // namespace hidlib
