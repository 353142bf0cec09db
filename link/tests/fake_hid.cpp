#include "fake_hid.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

THIDString to_hid_string(const std::string& s) {
  THIDString out;
  std::memset(&out, 0, sizeof out);
  out.Length = static_cast<uint8_t>(std::min<size_t>(s.size(), 255));
  std::memcpy(out.Text, s.data(), out.Length);
  return out;
}

uint8_t HIDAPI_CALL fake_scan() { return TFakeHid::get().scan(); }
void HIDAPI_CALL fake_info(uint8_t index, THIDDeviceInfo* info) { TFakeHid::get().info(index, info); }
uint8_t HIDAPI_CALL fake_open(uint8_t index) { return TFakeHid::get().open(index); }
uint8_t HIDAPI_CALL fake_close() { return TFakeHid::get().close(); }
uint8_t HIDAPI_CALL fake_set_output(void* buffer) { return TFakeHid::get().set_output_report(buffer); }
void HIDAPI_CALL fake_set_report_handler(THIDReportHandler h) { TFakeHid::get().set_report_handler(h); }
void HIDAPI_CALL fake_set_usb_handler(TUSBEventHandler h) { TFakeHid::get().set_usb_handler(h); }

}  // namespace

TFakeHid& TFakeHid::get() {
  static TFakeHid fake;
  return fake;
}

void TFakeHid::reset() {
  std::lock_guard guard(lock_);
  devices_.clear();
  scanned_.clear();
  current_ = -1;
  orphans_ = 0;
  calls_.clear();
  reports_.clear();
  frames_.clear();
  assembler_.clear();
  outcome_ = nullptr;
  on_frame_ = nullptr;
  on_scan_ = nullptr;
  gate_open_ = true;
  gate_one_call_ = gate_taken_ = false;
  gate_after_ = 0;
  blocked_ = false;
  opens_ = 0;
  report_opens_.clear();
  report_handler_ = nullptr;
  usb_handler_ = nullptr;
  changed_.notify_all();
  main_queue().clear();
}

void TFakeHid::set_devices(std::vector<TFakeDevice> devices) {
  std::lock_guard guard(lock_);
  devices_ = std::move(devices);
}

THIDEntries TFakeHid::entries() const {
  THIDEntries e;
  e.USBsetEventHandler = fake_set_usb_handler;
  e.HIDsetEventHandler = fake_set_report_handler;
  e.HIDscanForDevices = fake_scan;
  e.HIDGetDeviceInfo = fake_info;
  e.HIDopenDevice = fake_open;
  e.HIDcloseDevice = fake_close;
  e.HIDSetOutputReport = fake_set_output;
  return e;
}

void* TFakeHid::entry(const char* name) const {
  const THIDEntries e = entries();
  const std::pair<const char*, void*> table[] = {
      {"USBsetEventHandler", reinterpret_cast<void*>(e.USBsetEventHandler)},
      {"HIDsetEventHandler", reinterpret_cast<void*>(e.HIDsetEventHandler)},
      {"HIDscanForDevices", reinterpret_cast<void*>(e.HIDscanForDevices)},
      {"HIDGetDeviceInfo", reinterpret_cast<void*>(e.HIDGetDeviceInfo)},
      {"HIDopenDevice", reinterpret_cast<void*>(e.HIDopenDevice)},
      {"HIDcloseDevice", reinterpret_cast<void*>(e.HIDcloseDevice)},
      {"HIDSetOutputReport", reinterpret_cast<void*>(e.HIDSetOutputReport)},
  };
  for (const auto& [export_name, address] : table)
    if (std::strcmp(export_name, name) == 0)
      return address;
  return nullptr;
}

std::vector<std::string> TFakeHid::calls() {
  std::lock_guard guard(lock_);
  return calls_;
}
std::vector<TFrame> TFakeHid::frames() {
  std::lock_guard guard(lock_);
  return frames_;
}
std::vector<std::vector<uint8_t>> TFakeHid::reports() {
  std::lock_guard guard(lock_);
  return reports_;
}
size_t TFakeHid::frame_count() {
  std::lock_guard guard(lock_);
  return frames_.size();
}
void TFakeHid::clear_records() {
  std::lock_guard guard(lock_);
  calls_.clear();
  reports_.clear();
  report_opens_.clear();
  frames_.clear();
}
int TFakeHid::current() {
  std::lock_guard guard(lock_);
  return current_;
}

int TFakeHid::reports_without_device() {
  std::lock_guard guard(lock_);
  return orphans_;
}

std::vector<std::vector<uint8_t>> TFakeHid::reports_on(int open) {
  std::lock_guard guard(lock_);
  std::vector<std::vector<uint8_t>> out;
  for (size_t i = 0; i < reports_.size(); ++i)
    if (report_opens_[i] == open)
      out.push_back(reports_[i]);
  return out;
}

int TFakeHid::opens() {
  std::lock_guard guard(lock_);
  return opens_;
}

bool TFakeHid::wait_frames(size_t n, int timeout_ms) {
  std::unique_lock lk(lock_);
  return changed_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return frames_.size() >= n; });
}

void TFakeHid::set_outcome(std::function<uint8_t(const uint8_t*)> outcome) {
  std::lock_guard guard(lock_);
  outcome_ = std::move(outcome);
}
void TFakeHid::set_on_frame(std::function<void(const TFrame&)> on_frame) {
  std::lock_guard guard(lock_);
  on_frame_ = std::move(on_frame);
}
void TFakeHid::set_on_scan(std::function<void()> on_scan) {
  std::lock_guard guard(lock_);
  on_scan_ = std::move(on_scan);
}

void TFakeHid::set_gate(bool open, bool one_call, int after) {
  std::lock_guard guard(lock_);
  gate_open_ = open;
  gate_one_call_ = one_call;
  gate_taken_ = false;
  gate_after_ = after;
  changed_.notify_all();
}
bool TFakeHid::wait_blocked(int timeout_ms) {
  std::unique_lock lk(lock_);
  return changed_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return blocked_; });
}

THIDReportHandler TFakeHid::report_handler() {
  std::lock_guard guard(lock_);
  return report_handler_;
}
TUSBEventHandler TFakeHid::usb_handler() {
  std::lock_guard guard(lock_);
  return usb_handler_;
}

uint8_t TFakeHid::scan() {
  std::function<void()> on_scan;
  {
    std::lock_guard guard(lock_);
    on_scan = on_scan_;
  }
  if (on_scan)
    on_scan();
  std::lock_guard guard(lock_);
  calls_.push_back("scan");
  scanned_ = devices_;
  return static_cast<uint8_t>(scanned_.size());
}

void TFakeHid::info(uint8_t index, THIDDeviceInfo* out) {
  std::lock_guard guard(lock_);
  calls_.push_back("info " + std::to_string(index));
  if (index >= scanned_.size())
    return;
  const TFakeDevice& d = scanned_[index];
  std::memset(out, 0, sizeof *out);
  out->DeviceHandle = HID_NO_HANDLE;
  out->OutputReportByteLength = d.output_len;
  out->InputReportByteLength = 65;
  out->VersionNumber = d.version;
  out->Manufacturer = to_hid_string(d.manufacturer);
  out->Product = to_hid_string(d.product);
  out->SerialNumber = to_hid_string(d.serial);
  // As the library keeps it: with its terminating NUL.
  out->DevicePath = to_hid_string((d.path.empty() ? "\\\\?\\hid#fake#" + std::to_string(index) : d.path) + '\0');
  out->ReadWrite = 1;
}

uint8_t TFakeHid::open(uint8_t index) {
  std::lock_guard guard(lock_);
  calls_.push_back("open " + std::to_string(index));
  if (index >= scanned_.size() || !scanned_[index].opens) {
    current_ = -1;
    return 0;
  }
  current_ = index;
  ++opens_;
  return 1;
}

uint8_t TFakeHid::close() {
  std::lock_guard guard(lock_);
  calls_.push_back("close");
  const bool was = current_ >= 0;
  current_ = -1;
  return was;
}

uint8_t TFakeHid::set_output_report(void* buffer) {
  std::unique_lock lk(lock_);
  // The device the call starts on gets the report, as the library's handle lease does.
  const int open = current_ >= 0 ? opens_ : 0;
  const size_t len = current_ >= 0 ? scanned_[current_].output_len : 0;
  if (!gate_open_ && gate_after_ > 0) {
    --gate_after_;
  } else if (!gate_open_ && !(gate_one_call_ && gate_taken_)) {
    gate_taken_ = true;
    blocked_ = true;
    changed_.notify_all();
    changed_.wait(lk, [&] { return gate_open_; });
    blocked_ = false;
  }
  if (open == 0) {
    ++orphans_;
    return 0;
  }
  // The real library sends OutputReportByteLength bytes from the buffer; reading
  // as many here lets AddressSanitizer catch a buffer that is too short.
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  reports_.emplace_back(bytes, bytes + len);
  report_opens_.push_back(open);
  const uint8_t outcome = outcome_ ? outcome_(bytes) : 1;
  TFrame frame;
  if (assembler_.feed(bytes, len, frame) == TFrameAssembler::TFeed::good) {
    frames_.push_back(frame);
    changed_.notify_all();
    if (auto on_frame = on_frame_) {
      lk.unlock();
      on_frame(frame);
    }
  }
  return outcome;
}

void TFakeHid::set_report_handler(THIDReportHandler handler) {
  std::lock_guard guard(lock_);
  report_handler_ = handler;
}
void TFakeHid::set_usb_handler(TUSBEventHandler handler) {
  std::lock_guard guard(lock_);
  usb_handler_ = handler;
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<THIDReport> reply_reports(uint8_t cmd, const std::vector<uint8_t>& payload) {
  std::vector<THIDReport> out;
  for (const auto& bytes : cut_frame(build_frame(cmd, payload.data(), payload.size()), TMarkKind::end_mark)) {
    THIDReport report;
    std::memcpy(&report, bytes.data(), sizeof report);
    out.push_back(report);
  }
  return out;
}

void deliver_reply(uint8_t cmd, const std::vector<uint8_t>& payload) {
  for (const THIDReport& report : reply_reports(cmd, payload))
    on_report(report, 1);
}

std::vector<uint8_t> settings_bytes(const TSettings& s) {
  const auto* b = reinterpret_cast<const uint8_t*>(&s);
  return {b, b + sizeof s};
}

std::function<void(std::function<void()>)> TMainQueue::poster() {
  return [this](std::function<void()> routine) {
    std::lock_guard guard(lock_);
    routines_.push_back(std::move(routine));
    posted_.notify_all();
  };
}

int TMainQueue::run() {
  std::vector<std::function<void()>> now;
  {
    std::lock_guard guard(lock_);
    now.swap(routines_);
  }
  for (auto& routine : now)
    routine();
  return static_cast<int>(now.size());
}

int TMainQueue::wait_and_run(int timeout_ms) {
  {
    std::unique_lock lk(lock_);
    posted_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return !routines_.empty(); });
  }
  return run();
}

void TMainQueue::clear() {
  std::lock_guard guard(lock_);
  routines_.clear();
}

TMainQueue& main_queue() {
  static TMainQueue queue;
  return queue;
}
