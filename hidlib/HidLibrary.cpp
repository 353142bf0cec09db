#include "HidLibrary.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace hidlib {

// The platform handle of an open device, closed when the table and every
// transfer using it have let go of it.
struct HidLibrary::OpenHandle {
  HidPlatform& platform;
  HidHandle handle;
  OpenHandle(HidPlatform& p, HidHandle h) : platform(p), handle(h) {}
  ~OpenHandle() { platform.close(handle); }
};

// What a report call needs of the current device, copied out under the lock.
struct HidLibrary::Current {
  std::shared_ptr<OpenHandle> handle;
  THIDDeviceInfo info;
};

THIDDeviceInfo reset_entry() {
  THIDDeviceInfo info;
  std::memset(&info, 0, sizeof info);
  info.DeviceHandle = HID_NO_HANDLE;
  return info;
}

void set_string(THIDString& field, const std::string& text) {
  const size_t n = std::min<size_t>(text.size(), sizeof field.Text);
  field.Length = static_cast<uint8_t>(n);
  std::memcpy(field.Text, text.data(), n);
}

uint8_t whole_report_count(uint16_t byte_length) {
  return byte_length > 0 ? static_cast<uint8_t>(byte_length - 1) : 0;
}

void build_item_table(THIDReportItem (&items)[HID_ITEMS_PER_TABLE], uint16_t byte_length,
                      const ValueCapsAnswer& answer) {
  std::memset(items, 0, sizeof items);
  items[0].BitSize = 8;
  items[0].ReportCount = whole_report_count(byte_length);
  if (answer.Status != HIDP_STATUS_SUCCESS && answer.Status != HIDP_STATUS_BUFFER_TOO_SMALL) return;
  if (answer.Count == 0) return;
  // A parser that reports the full count past the buffer's room still only
  // filled the room it had.
  const int kept = std::min<int>(answer.Count, HID_ITEMS_PER_TABLE);
  for (int j = 0; j < kept; ++j) {
    const HidValueCap& cap = answer.Caps[j];
    items[j].Usage = cap.Usage;
    items[j].ReportID = cap.ReportID;
    items[j].BitSize = static_cast<uint8_t>(cap.BitSize);
    items[j].ReportCount = static_cast<uint8_t>(cap.ReportCount);
  }
  // A report described as one single-item value is counted as the whole report.
  if (answer.Count == 1 && items[0].ReportCount == 1) items[0].ReportCount = whole_report_count(byte_length);
}

uint8_t item_count(const THIDReportItem (&items)[HID_ITEMS_PER_TABLE], uint16_t byte_length,
                   uint8_t report_id) {
  uint8_t sum = 0;
  for (const THIDReportItem& item : items)
    if (item.ReportID == report_id) sum = static_cast<uint8_t>(sum + item.ReportCount);
  return sum != 0 ? sum : whole_report_count(byte_length);
}

THIDDeviceInfo probe(HidPlatform& platform, const std::string& path) {
  THIDDeviceInfo info;
  std::memset(&info, 0, sizeof info);
  // The path and its NUL, 255 bytes at most in all.
  set_string(info.DevicePath, path.substr(0, 255) + '\0');

  HidHandle handle = platform.open(path, OpenMode::ProbeReadWrite);
  info.ReadWrite = handle != HID_NO_HANDLE ? 1 : 0;
  if (handle == HID_NO_HANDLE) handle = platform.open(path, OpenMode::ProbeQuery);
  if (handle == HID_NO_HANDLE) return info;

  HidAttributes attributes;
  if (platform.attributes(handle, attributes)) {
    info.VendorID = attributes.VendorID;
    info.ProductID = attributes.ProductID;
    info.VersionNumber = attributes.VersionNumber;
  }
  if (auto text = platform.string(handle, StringKind::Manufacturer)) set_string(info.Manufacturer, *text);
  if (auto text = platform.string(handle, StringKind::Product)) set_string(info.Product, *text);
  set_string(info.SerialNumber, platform.string(handle, StringKind::SerialNumber).value_or("---"));

  platform.set_num_input_buffers(handle, INPUT_BUFFERS);

  HidReportLayout layout;
  if (platform.report_layout(handle, layout)) {
    info.OutputReportByteLength = layout.OutputReportByteLength;
    info.InputReportByteLength = layout.InputReportByteLength;
    info.FeatureReportByteLength = layout.FeatureReportByteLength;
    build_item_table(info.OutputItems, layout.OutputReportByteLength,
                     layout.Values[static_cast<int>(ReportType::Output)]);
    build_item_table(info.InputItems, layout.InputReportByteLength,
                     layout.Values[static_cast<int>(ReportType::Input)]);
    build_item_table(info.FeatureItems, layout.FeatureReportByteLength,
                     layout.Values[static_cast<int>(ReportType::Feature)]);
  }
  platform.close(handle);
  return info;
}

namespace {

uint16_t byte_length(const THIDDeviceInfo& info, ReportType type) {
  switch (type) {
    case ReportType::Input: return info.InputReportByteLength;
    case ReportType::Output: return info.OutputReportByteLength;
    case ReportType::Feature: return info.FeatureReportByteLength;
  }
  return 0;
}

const THIDReportItem (&item_table(const THIDDeviceInfo& info, ReportType type))[HID_ITEMS_PER_TABLE] {
  switch (type) {
    case ReportType::Input: return info.InputItems;
    case ReportType::Output: return info.OutputItems;
    case ReportType::Feature: break;
  }
  return info.FeatureItems;
}

std::atomic<HidLibrary*> installed{nullptr};

}  // namespace

HidLibrary::HidLibrary(HidPlatform& platform) : platform_(platform), waiter_(platform.make_read_waiter()) {
  devices_.fill(reset_entry());
}

HidLibrary::~HidLibrary() = default;

uint8_t HidLibrary::scan_for_devices() {
  {
    // The reset drops the table's hold on an open device's handle too; it is
    // closed once no transfer uses it any more, rather than left open for
    // the life of the process with nothing referring to it.
    std::array<std::shared_ptr<OpenHandle>, HID_MAX_DEVICES> dropped;
    std::unique_ptr<HeldReport> dropped_report;
    {
      std::lock_guard lock(mutex_);
      devices_.fill(reset_entry());
      dropped.swap(handles_);
      dropped_report = std::move(held_);
      ++generation_;
    }
    changed();
  }
  std::vector<std::string> paths;
  if (!platform_.enumerate(paths)) return 0;

  // Probing takes a while; the table is filled entry by entry so the lock is
  // never held across platform calls.
  uint8_t count = 0;
  for (const std::string& path : paths) {
    THIDDeviceInfo info = probe(platform_, path);
    info.DeviceHandle = HID_NO_HANDLE;
    if (info.VendorID != 0 && info.ProductID != 0 && count < HID_MAX_DEVICES) {
      std::lock_guard lock(mutex_);
      devices_[count++] = info;
    }
  }
  return count;
}

void HidLibrary::get_device_info(uint8_t index, THIDDeviceInfo* info) {
  if (index >= HID_MAX_DEVICES || info == nullptr) return;
  std::lock_guard lock(mutex_);
  std::memcpy(info, &devices_[index], sizeof *info);
}

bool HidLibrary::open_device(uint8_t index) {
  if (index >= HID_MAX_DEVICES) {
    {
      std::lock_guard lock(mutex_);
      current_ = -1;
    }
    changed();
    return false;
  }
  std::shared_ptr<OpenHandle> handle;
  std::string path;
  OpenMode mode;
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    generation = generation_;
    handle = handles_[index];
    const std::string stored = hid_text(devices_[index].DevicePath);
    path = !stored.empty() && stored.back() == '\0' ? stored.substr(0, stored.size() - 1) : stored;
    mode = devices_[index].ReadWrite == 1 ? OpenMode::ReadWrite : OpenMode::Query;
  }
  if (!handle && !path.empty()) {
    // Opened without the lock: the read thread keeps reading meanwhile.
    const HidHandle opened = platform_.open(path, mode);
    if (opened != HID_NO_HANDLE) handle = std::make_shared<OpenHandle>(platform_, opened);
  }
  std::shared_ptr<OpenHandle> superseded;
  std::unique_ptr<HeldReport> dropped_report;
  // Whatever the outcome, the read thread looks at the device again.
  struct Wake {
    HidLibrary& library;
    ~Wake() { library.changed(); }
  } wake{*this};
  {
    std::lock_guard lock(mutex_);
    if (held_ && held_->handle != handle) dropped_report = std::move(held_);
    if (!handle) {
      devices_[index].DeviceHandle = HID_NO_HANDLE;
      current_ = -1;
      return false;
    }
    if (generation_ != generation) {
      // A scan replaced the table meanwhile: the handle is of a path the
      // entry may no longer hold.
      superseded = std::move(handle);
      devices_[index].DeviceHandle = HID_NO_HANDLE;
      current_ = -1;
      return false;
    }
    if (handles_[index] && handles_[index] != handle) {
      superseded = std::move(handle);  // another thread opened it first
      handle = handles_[index];
    } else if (!handles_[index]) {
      handles_[index] = handle;
      devices_[index].DeviceHandle = handle->handle;
    }
    current_ = index;
  }
  platform_.set_num_input_buffers(handle->handle, INPUT_BUFFERS);
  return true;
}

bool HidLibrary::close_device() {
  std::shared_ptr<OpenHandle> dropped;
  std::unique_ptr<HeldReport> dropped_report;
  {
    std::lock_guard lock(mutex_);
    if (current_ < 0) return false;
    dropped.swap(handles_[current_]);
    dropped_report = std::move(held_);
    devices_[current_].DeviceHandle = HID_NO_HANDLE;
    current_ = -1;
  }
  // The read thread withdraws its read and lets go of the handle, which is
  // closed then (or here, when no read was pending).
  changed();
  return true;
}

bool HidLibrary::current_open(Current& out) {
  std::lock_guard lock(mutex_);
  if (current_ < 0 || !handles_[current_]) return false;
  out.handle = handles_[current_];
  out.info = devices_[current_];
  return true;
}

uint8_t HidLibrary::write_device(const THIDReport& report) {
  Current cur;
  if (!current_open(cur) || cur.info.ReadWrite == 0) return 0;
  const uint16_t length = cur.info.OutputReportByteLength;
  // Room for the whole report length even past 65 bytes: the platform writes
  // `length` bytes, the rest beyond the caller's 65 are zero.
  std::vector<uint8_t> buffer(std::max<size_t>(sizeof report, length), 0);
  std::memcpy(buffer.data(), &report, sizeof report);
  if (!platform_.write_report(cur.handle->handle, buffer.data(), length, WRITE_TIMEOUT_MS)) return 0;
  return item_count(cur.info.OutputItems, length, report.ReportID);
}

uint8_t HidLibrary::read_into(const std::shared_ptr<OpenHandle>& handle, uint16_t length,
                              const THIDReportItem (&items)[HID_ITEMS_PER_TABLE], THIDReport& report) {
  // The platform reads the whole input report length; only the first 65
  // bytes fit the report record.
  std::vector<uint8_t> buffer(std::max<size_t>(sizeof(THIDReport), length), 0);
  if (!platform_.read_report_nowait(handle->handle, buffer.data(), length)) return 0;
  std::memcpy(&report, buffer.data(), sizeof report);
  return item_count(items, length, report.ReportID);
}

uint8_t HidLibrary::read_device(THIDReport* report) {
  Current cur;
  if (report == nullptr || !current_open(cur)) return 0;
  {
    // A report the read thread took and could not hand over is the oldest.
    std::unique_ptr<HeldReport> held;
    std::lock_guard lock(mutex_);
    if (held_ && held_->handle == cur.handle) {
      held = std::move(held_);
      *report = held->report;
      return held->count;
    }
  }
  THIDReport taken;
  const uint8_t count = read_into(cur.handle, cur.info.InputReportByteLength, cur.info.InputItems, taken);
  // A report whose item count is 0 (a device without input reports) still
  // leaves the caller's buffer as it was: only a taken report is copied.
  if (count > 0) *report = taken;
  return count;
}

uint8_t HidLibrary::report_size(ReportType type) {
  std::lock_guard lock(mutex_);
  if (current_ < 0) return 0;
  return static_cast<uint8_t>(byte_length(devices_[current_], type));
}

uint8_t HidLibrary::report_count(ReportType type, uint8_t report_id) {
  std::lock_guard lock(mutex_);
  if (current_ < 0) return 0;
  const THIDDeviceInfo& info = devices_[current_];
  return item_count(item_table(info, type), byte_length(info, type), report_id);
}

uint8_t HidLibrary::control_call(ReportType type, void* buffer,
                                 bool (HidPlatform::*call)(HidHandle, void*, uint16_t)) {
  Current cur;
  // A current device that a scan has reset holds no handle: the platform call
  // would fail on it, and the library has none to pass.
  if (buffer == nullptr || !current_open(cur)) return 0;
  const uint16_t length = byte_length(cur.info, type);
  if (!(platform_.*call)(cur.handle->handle, buffer, length)) return 0;
  return item_count(item_table(cur.info, type), length, *static_cast<const uint8_t*>(buffer));
}

uint8_t HidLibrary::set_output_report(void* buffer) {
  return control_call(ReportType::Output, buffer, &HidPlatform::set_output_report);
}
uint8_t HidLibrary::get_input_report(void* buffer) {
  return control_call(ReportType::Input, buffer, &HidPlatform::get_input_report);
}
uint8_t HidLibrary::set_feature_report(void* buffer) {
  return control_call(ReportType::Feature, buffer, &HidPlatform::set_feature);
}
uint8_t HidLibrary::get_feature_report(void* buffer) {
  return control_call(ReportType::Feature, buffer, &HidPlatform::get_feature);
}

void HidLibrary::set_report_handler(THIDReportHandler handler) {
  {
    std::lock_guard lock(mutex_);
    report_handler_ = handler;
  }
  changed();
}

void HidLibrary::set_usb_handler(TUSBEventHandler handler) {
  std::lock_guard lock(mutex_);
  usb_handler_ = handler;
}

int32_t HidLibrary::current_device() {
  std::lock_guard lock(mutex_);
  return current_;
}

bool HidLibrary::holds_report() {
  std::lock_guard lock(mutex_);
  return held_ != nullptr;
}

void HidLibrary::set_first_change(std::function<void()> hook) { first_change_ = std::move(hook); }

void HidLibrary::changed() {
  std::call_once(first_change_once_, [this] {
    if (first_change_) first_change_();
  });
  waiter_->signal();
}

void HidLibrary::stop_read_loop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  waiter_->signal();
}

void HidLibrary::read_loop() {
  ReadWaiter& waiter = *waiter_;
  std::shared_ptr<OpenHandle> reading;  // the device of the pending read
  std::shared_ptr<OpenHandle> failed;   // a device whose read failed: not read again
  bool pending = false;
  // Every report goes through held_ and is delivered from there, the oldest
  // first: one the handler could not take yet waits there for the next one.
  for (;;) {
    std::shared_ptr<OpenHandle> device;
    THIDReportHandler handler;
    uint16_t length = 0;
    THIDReport report{};
    uint8_t count = 0;
    {
      std::unique_ptr<HeldReport> delivered;
      std::lock_guard lock(mutex_);
      if (stop_) break;
      if (current_ >= 0) device = handles_[current_];
      handler = report_handler_;
      if (device) length = devices_[current_].InputReportByteLength;
      if (held_ && handler != nullptr) {
        delivered = std::move(held_);
        report = delivered->report;
        count = delivered->count;
      }
    }
    if (count > 0) {
      // No lease is held while the handler runs: a close during a long
      // handler closes the handle at once.
      device.reset();
      handler(report, count);
      continue;
    }
    const bool wanted = device && handler != nullptr;
    if (pending && (!wanted || reading != device)) {
      // The device was closed or replaced, or the handler removed: withdraw
      // the read. A report it took first still belongs to this device.
      pending = false;
      if (waiter.cancel()) hold(reading, waiter.report());
      reading.reset();
      continue;
    }
    if (failed != device) failed.reset();
    if (!pending && wanted && device != failed) {
      if (waiter.start(device->handle, length)) {
        pending = true;
        reading = device;
      } else {
        failed = device;  // a removed device: wait for the host to close it
      }
    }
    switch (waiter.wait()) {
      case ReadWaiter::Wake::Report:
        pending = false;
        hold(reading, waiter.report());
        reading.reset();
        break;
      case ReadWaiter::Wake::Failed:
        pending = false;
        failed = std::move(reading);
        break;
      case ReadWaiter::Wake::Signalled:
        break;
    }
  }
  if (pending) waiter.cancel();
}

void HidLibrary::hold(const std::shared_ptr<OpenHandle>& device, const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mutex_);
  // A report of a device that is no longer the open current one is never delivered.
  if (current_ < 0 || handles_[current_] != device || held_) return;
  const THIDDeviceInfo& info = devices_[current_];
  auto held = std::make_unique<HeldReport>();
  std::memset(&held->report, 0, sizeof held->report);
  std::memcpy(&held->report, bytes.data(), std::min(bytes.size(), sizeof held->report));
  held->count = item_count(info.InputItems, info.InputReportByteLength, held->report.ReportID);
  held->handle = device;
  if (held->count > 0) held_ = std::move(held);
}

bool HidLibrary::device_change_message() {
  TUSBEventHandler handler;
  {
    std::lock_guard lock(mutex_);
    handler = usb_handler_;
  }
  if (handler == nullptr) return false;
  handler();
  return true;
}

void install_process_library(HidLibrary* library) { installed.store(library); }
HidLibrary* process_library() { return installed.load(); }

}  // namespace hidlib
