// The HID library's state and logic over a HidPlatform: the device table,
// CurrentDevice, the two handlers, scan/probe/item tables, the report calls and
// the read thread's loop. The exports (HidExports) and the shells that
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
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

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
  // A report taken from the open device waits for a handler (or HIDreadDevice).
  bool holds_report();

  // The read thread's body. While a device is current and open and a report
  // handler is registered it keeps one read pending on the device and sleeps
  // until the read ends or the library changes (handler set or removed, open,
  // close, scan, stop); every report taken goes to the handler on this thread,
  // one at a time, in arrival order. Returns after stop_read_loop(). An
  // exception from the handler propagates: the read thread ends on it.
  void read_loop();
  // Ends read_loop() (native shells; the DLL's read thread runs for good).
  void stop_read_loop();
  // Runs once, on the first change that concerns the read thread (a handler
  // set, an open, close or scan), before the read thread hears of it: the DLL
  // starts its read thread there rather than while it is being loaded.
  // Install before the library is used.
  void set_first_change(std::function<void()> hook);

  // The device-change window's reaction to WM_DEVICECHANGE: calls the
  // registered device-change handler, if any. Returns whether it called one.
  bool device_change_message();

 private:
  struct OpenHandle;
  struct Current;
  bool current_open(Current& out);
  // Wakes the read thread after a change of the device, table or handler.
  void changed();
  uint8_t control_call(ReportType type, void* buffer,
                       bool (HidPlatform::*call)(HidHandle, void*, uint16_t));
  uint8_t read_into(const std::shared_ptr<OpenHandle>& handle, uint16_t length,
                    const THIDReportItem (&items)[HID_ITEMS_PER_TABLE], THIDReport& report);
  // Keeps a report the read thread took from `device` for the next handler,
  // unless that device is no longer the open current one.
  void hold(const std::shared_ptr<OpenHandle>& device, const std::vector<uint8_t>& bytes);

  HidPlatform& platform_;
  std::mutex mutex_;
  std::array<THIDDeviceInfo, HID_MAX_DEVICES> devices_;
  std::array<std::shared_ptr<OpenHandle>, HID_MAX_DEVICES> handles_;
  int32_t current_ = -1;
  uint64_t generation_ = 0;  // counts scans, so an open can tell the table changed under it
  THIDReportHandler report_handler_ = nullptr;
  TUSBEventHandler usb_handler_ = nullptr;
  // A report the read thread took while a handler was registered, still
  // waiting for one: the next handler gets it, or HIDreadDevice, before
  // anything newer. A close, open or scan drops it with its device.
  struct HeldReport {
    std::shared_ptr<OpenHandle> handle;
    THIDReport report;
    uint8_t count;
  };
  std::unique_ptr<HeldReport> held_;
  bool stop_ = false;
  std::function<void()> first_change_;
  std::once_flag first_change_once_;
  const std::unique_ptr<ReadWaiter> waiter_;  // the read thread's; signal() from any thread
};

// The process's library, which the 18 exports work on (HidExports.cpp). The
// Windows DLL installs it while loading; native hosts install their own.
// With none installed every export fails.
void install_process_library(HidLibrary* library);
HidLibrary* process_library();

}  // namespace hidlib
