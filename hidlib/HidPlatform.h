// The seam between the HID library's logic and the machine it runs on.
//
// Everything above this seam (device table, CurrentDevice, item tables and
// their fix-ups, the item-count rule, the read thread's loop, the 18
// exports) is portable code in HidLibrary/HidExports. Below it sit two
// implementations of HidPlatform:
//   - win/Win32Platform: SetupApi, hid.dll and overlapped file I/O;
//   - sim/SimPlatform:   virtual HID devices living in the process.
//
// How a device model plugs in (sim/SimPlatform.h has the details):
//   1. Derive from hidlib::SimDevice, give it a SimDeviceConfig (path, IDs,
//      strings or std::nullopt, access, report lengths, value capabilities).
//   2. Override on_output_report(...) to see every output report the host sends
//      (ordinary write path and control path alike), and on_get_input_report /
//      on_set_feature / on_get_feature if the model answers the control path.
//   3. Answer with queue_input_report(...): the report lands in the buffer of
//      every handle open on the device (64 reports each, as the HID driver keeps),
//      where the library's read thread picks it up.
//   4. SimPlatform::plug(device) / unplug(device) make it appear and vanish;
//      each change raises device-change notifications through the poster that
//      the library's shell installed (on Windows a WM_DEVICECHANGE posted to the
//      library's hidden window, natively a mailbox the test pumps).
//   5. A drop-in HID_Lib.dll over the model: define hidlib::dll_platform()
//      returning the SimPlatform with the device plugged, and build it with
//      hidlib_add_dll(<target> <output-dir> SOURCES <that file> LIBS hidlib_sim ...).
//
// Handles are 32-bit values as the device record stores them; HID_NO_HANDLE
// (all bits set) is never a valid handle. Paths and strings are the text of the
// device record (THIDString): 8-bit, in the ANSI code page on Windows, where the
// platform converts at its calls (win32/text.h).
#pragma once

#include "HIDinterface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hidlib {

using HidHandle = uint32_t;

// Numbering of the platform's report types (HidP_Input, HidP_Output, HidP_Feature).
enum class ReportType : uint8_t { Input = 0, Output = 1, Feature = 2 };

enum class StringKind : uint8_t { Manufacturer, Product, SerialNumber };

// Status codes of a value-capability query, as the HID parser reports them.
constexpr uint32_t HIDP_STATUS_SUCCESS = 0x00110000u;
constexpr uint32_t HIDP_STATUS_USAGE_NOT_FOUND = 0xC0110004u;
constexpr uint32_t HIDP_STATUS_BUFFER_TOO_SMALL = 0xC0110007u;

// The number of value capabilities the library asks for per report type.
constexpr uint16_t HID_VALUE_CAPS_ASKED = 10;

struct HidAttributes {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t VersionNumber = 0;
};

// One value capability as the parser gives it (Usage is the first usage of a range).
struct HidValueCap {
  uint16_t Usage = 0;
  uint8_t ReportID = 0;
  uint16_t BitSize = 0;
  uint16_t ReportCount = 0;
};

// The raw answer to "value capabilities of one report type, any usage page,
// usage and link collection, room for 10": the status, the count the parser
// returned (not necessarily <= 10; the library clamps it) and the entries.
struct ValueCapsAnswer {
  uint32_t Status = HIDP_STATUS_USAGE_NOT_FOUND;
  uint16_t Count = 0;
  HidValueCap Caps[HID_VALUE_CAPS_ASKED] = {};
};

// What the preparsed data of a device says: report byte lengths (report-ID
// byte included) and the value capabilities of each report type, indexed by
// ReportType.
struct HidReportLayout {
  uint16_t InputReportByteLength = 0;
  uint16_t OutputReportByteLength = 0;
  uint16_t FeatureReportByteLength = 0;
  ValueCapsAnswer Values[3];
};

enum class OpenMode : uint8_t {
  ProbeReadWrite,  // synchronous, read and write: the scan's first try
  ProbeQuery,      // synchronous, access 0: the scan's second try
  ReadWrite,       // overlapped, read and write: HIDopenDevice with ReadWrite 1
  Query,           // overlapped, access 0: HIDopenDevice with ReadWrite 0
};

// One read kept pending on a device, and a wake-up that other threads raise:
// the read thread sleeps in wait() until its read takes a report, the read
// fails, or the library signals a change. Everything but signal() is called
// on one thread only (the one that owns the waiter); the read is that
// thread's own transfer, so only it can cancel it.
class ReadWaiter {
 public:
  enum class Wake : uint8_t {
    Signalled,  // signal() was called (signals that come before a wait coalesce)
    Report,     // the pending read took a report: its bytes are in report()
    Failed,     // the pending read ended without one (a removed or closed device)
  };

  // Cancels and finishes a read still pending.
  virtual ~ReadWaiter() = default;

  // Any thread.
  virtual void signal() = 0;
  // Starts one read of `length` bytes on `handle`; none may be pending. False
  // when the call failed at once (a removed device): nothing is pending then.
  virtual bool start(HidHandle handle, uint16_t length) = 0;
  // Sleeps until the pending read ends or a signal comes; with no read
  // pending, until a signal comes. A read that has ended wins over a signal.
  virtual Wake wait() = 0;
  // Withdraws the pending read and returns only once it is over, so it never
  // completes into memory or a handle that is released after this. True when
  // it had taken a report before it could be withdrawn (its bytes are then in
  // report()). False with no read pending.
  virtual bool cancel() = 0;
  // The bytes of the last read that took a report (the read's length).
  virtual const std::vector<uint8_t>& report() const = 0;
};

class HidPlatform {
 public:
  virtual ~HidPlatform() = default;

  // Interface paths (8-bit, as the platform spells them) of the present HID
  // interfaces in enumeration order; interfaces whose path cannot be read are
  // left out. False when the platform has no list at all.
  virtual bool enumerate(std::vector<std::string>& paths) = 0;

  // Every open is shared read and write. HID_NO_HANDLE on failure.
  virtual HidHandle open(const std::string& path, OpenMode mode) = 0;
  virtual void close(HidHandle handle) = 0;

  virtual bool attributes(HidHandle handle, HidAttributes& out) = 0;
  // The string converted to the 8-bit code page (not yet cut), or nullopt
  // when the device gives none.
  virtual std::optional<std::string> string(HidHandle handle, StringKind kind) = 0;
  virtual bool set_num_input_buffers(HidHandle handle, uint32_t count) = 0;
  // False when the device has no preparsed data.
  virtual bool report_layout(HidHandle handle, HidReportLayout& out) = 0;

  // Ordinary write path: one output report of `length` bytes from `data`
  // (report ID first). True when it completed within timeout_ms; a transfer
  // that did not is cancelled and finished before this returns.
  virtual bool write_report(HidHandle handle, const uint8_t* data, uint16_t length,
                            uint32_t timeout_ms) = 0;
  // Ordinary read path, never waiting: true and `length` bytes in `buffer`
  // when a report was already buffered; false and `buffer` untouched when none
  // was (the withdrawn read is finished before this returns).
  virtual bool read_report_nowait(HidHandle handle, uint8_t* buffer, uint16_t length) = 0;

  // The read thread's side of the ordinary read path (see ReadWaiter).
  virtual std::unique_ptr<ReadWaiter> make_read_waiter() = 0;

  // Control path (set-report / get-report on the control pipe), synchronous,
  // on the caller's buffer of `length` bytes, report ID in byte 0.
  virtual bool set_output_report(HidHandle handle, void* buffer, uint16_t length) = 0;
  virtual bool get_input_report(HidHandle handle, void* buffer, uint16_t length) = 0;
  virtual bool set_feature(HidHandle handle, void* buffer, uint16_t length) = 0;
  virtual bool get_feature(HidHandle handle, void* buffer, uint16_t length) = 0;

  // The library's shell installs how a device change reaches the library's
  // device-change window. Real platforms get their changes from the system
  // and ignore it; the simulated one calls it on plug and unplug.
  virtual void set_device_change_poster(std::function<void()> poster) {}

  // The library's shell calls it when the process ends normally (the DLL's
  // process detach). Threads other than the caller may be gone by then, so
  // an implementation takes no lock another thread may have held.
  virtual void process_ending() {}
};

}  // namespace hidlib

namespace hidlib {
// The platform a HID_Lib.dll build runs on, defined by the platform sources
// given to hidlib_add_dll (win/Win32Platform.cpp for the real library). The
// DLL asks for it once, while loading, on the loading thread.
HidPlatform& dll_platform();
}  // namespace hidlib
