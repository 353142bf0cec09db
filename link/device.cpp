#include "device.h"

#include "USB.h"

#include <algorithm>
#include <cstring>

namespace mx::link {

void TDevice::bind(const THIDEntries& entries) {
  std::lock_guard guard(lock_);
  entries_ = entries;
}

void TDevice::set_on_give_up(std::function<void()> on_give_up) {
  std::lock_guard guard(lock_);
  on_give_up_ = std::move(on_give_up);
}

THIDEntries TDevice::entries() const {
  std::lock_guard guard(lock_);
  return entries_;
}

bool TDevice::send_frame(uint8_t cmd, const uint8_t* data, size_t len, std::optional<uint64_t> connection) {
  const std::vector<uint8_t> frame = build_frame(cmd, data, len);
  std::vector<uint8_t> report;  // fill_report writes every byte of it
  uint64_t started_on = 0;
  bool result = false;
  // The frame is announced while it goes out, so that a close lets it end
  // first; announced as ended also when the library throws.
  struct TFrameEnd {
    TDevice& device;
    uint64_t frame = 0;
    ~TFrameEnd() {
      if (!frame)
        return;
      {
        std::lock_guard guard(device.lock_);
        if (device.frame_ == frame)
          device.frame_.reset();
      }
      device.call_ended_.notify_all();
    }
  } frame_end{*this};
  for (size_t offset = 0; offset < frame.size(); offset += report_piece) {
    decltype(THIDEntries::HIDSetOutputReport) set_output_report = nullptr;
    uint64_t call = 0;
    {
      std::lock_guard guard(lock_);
      if (offset == 0) {
        if (closing_)
          return false;  // no frame starts while the device is being closed
        started_on = connection.value_or(connection_);
        // The library sends OutputReportByteLength bytes from this buffer.
        report.resize(std::max(out_report_len_, hid_report_len));
        frame_end.frame = next_call_++;
        frame_ = frame_end.frame;
      }
      if (stopped_ || !dev_open || !entries_.HIDSetOutputReport || connection_ != started_on)
        return false;
      fill_report(report.data(), report.size(), frame, offset);
      set_output_report = entries_.HIDSetOutputReport;
      call = next_call_++;
      call_ = call;
    }
    bool given_up = false;
    uint8_t sent = 0;
    {
      // The call is announced as ended also when the library throws.
      struct TCallEnd {
        TDevice& device;
        uint64_t call;
        bool& given_up;
        ~TCallEnd() {
          {
            std::lock_guard guard(device.lock_);
            given_up = device.call_ != call;
            if (!given_up)
              device.call_.reset();
          }
          device.call_ended_.notify_all();
        }
      } end{*this, call, given_up};
      sent = set_output_report(report.data());
    }
    if (given_up)
      return false;  // its connection was closed while it hung
    result = sent != 0;
  }
  return result;
}

void TDevice::close(TClock::time_point give_up_at) {
  std::function<void()> on_give_up;
  {
    std::unique_lock lk(lock_);
    closing_ = true;  // no frame starts meanwhile; the one going out ends first
    const bool ended = call_ended_.wait_until(lk, give_up_at, [&] { return !frame_ && !call_; });
    closing_ = false;
    if (!ended) {
      // The frame takes too long, or one of its report calls hangs: its
      // connection ends here. The frame stops before its next report; a hung
      // call finds itself given up whenever it returns, and the link gets a
      // fresh worker.
      if (call_)
        on_give_up = on_give_up_;
      call_.reset();
      frame_.reset();
      ++connection_;
    }
    if (dev_open && entries_.HIDcloseDevice) {
      entries_.HIDcloseDevice();
      dev_open = false;
    }
  }
  if (on_give_up)
    on_give_up();
}

bool TDevice::closing() const {
  std::lock_guard guard(lock_);
  return closing_;
}

uint8_t TDevice::scan() {
  std::lock_guard guard(lock_);
  return entries_.HIDscanForDevices ? entries_.HIDscanForDevices() : 0;
}

THIDDeviceInfo TDevice::info(uint8_t index) {
  THIDDeviceInfo out;
  std::memset(&out, 0, sizeof out);
  std::lock_guard guard(lock_);
  if (entries_.HIDGetDeviceInfo)
    entries_.HIDGetDeviceInfo(index, &out);
  return out;
}

std::optional<uint64_t> TDevice::open(uint8_t index, const THIDDeviceInfo& info) {
  std::lock_guard guard(lock_);
  ++connection_;
  dev_open = entries_.HIDopenDevice && entries_.HIDopenDevice(index) != 0;
  if (!dev_open)
    return std::nullopt;
  out_report_len_ = std::max<size_t>(info.OutputReportByteLength, hid_report_len);
  return connection_;
}

void TDevice::stop_sending() { stopped_ = true; }

bool TDevice::sending_stopped() const { return stopped_; }

void TDevice::set_identity(const TDeviceIdentity& identity) {
  std::lock_guard guard(lock_);
  identity_ = identity;
}

TDeviceIdentity TDevice::identity() const {
  std::lock_guard guard(lock_);
  return identity_;
}

void TDevice::bind_open(const THIDEntries& entries, size_t output_report_len, bool open) {
  std::unique_lock lk(lock_);
  // A report call in progress ends with the table it started with (a test
  // that lets go of a library waits it out here).
  closing_ = true;
  call_ended_.wait(lk, [&] { return !call_; });
  closing_ = false;
  entries_ = entries;
  out_report_len_ = output_report_len;
  dev_open = open;
}

size_t TDevice::output_report_len() const {
  std::lock_guard guard(lock_);
  return out_report_len_;
}

void TDevice::reset() {
  std::lock_guard guard(lock_);
  entries_ = {};
  out_report_len_ = hid_report_len;
  connection_ = 0;
  call_.reset();
  frame_.reset();
  closing_ = false;
  stopped_ = false;
  identity_ = {};
}

}  // namespace mx::link
