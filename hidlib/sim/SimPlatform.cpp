#include "SimPlatform.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace hidlib {

namespace {
constexpr size_t kDriverBuffers = 64;
}

SimDevice::SimDevice(SimDeviceConfig config) : config_(std::move(config)) {}
SimDevice::~SimDevice() = default;

SimDeviceConfig SimDevice::config() const {
  std::lock_guard lock(mutex_);
  return config_;
}

void SimDevice::update_config(const std::function<void(SimDeviceConfig&)>& edit) {
  std::lock_guard lock(mutex_);
  edit(config_);
}

void SimDevice::queue_input_report(const uint8_t* data, size_t length) {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> report(config_.input_length, 0);
  // copy_n, not memcpy: a device without input reports has an empty buffer
  // (no storage at all), and the report given may be empty too.
  std::copy_n(data, std::min<size_t>(length, report.size()), report.begin());
  for (auto& [handle, state] : handles_) {
    if (!state.live) continue;
    if (state.reports.size() == kDriverBuffers) state.reports.pop_front();
    state.reports.push_back(report);
  }
}

size_t SimDevice::open_handles() const {
  std::lock_guard lock(mutex_);
  return std::count_if(handles_.begin(), handles_.end(), [](const auto& h) { return h.second.live; });
}

bool SimDevice::on_output_report(const uint8_t* data, size_t length, OutputPath path) {
  std::lock_guard lock(mutex_);
  sent_.push_back({std::vector<uint8_t>(data, data + length), path});
  return true;
}

std::vector<SimDevice::SentReport> SimDevice::output_reports() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

SimPlatform::SimPlatform() = default;
SimPlatform::~SimPlatform() = default;

void SimPlatform::plug(std::shared_ptr<SimDevice> device) {
  {
    std::lock_guard lock(mutex_);
    if (std::find(bus_.begin(), bus_.end(), device) != bus_.end()) return;
    bus_.push_back(std::move(device));
  }
  post_changes();
}

void SimPlatform::unplug(const std::shared_ptr<SimDevice>& device) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(bus_.begin(), bus_.end(), device);
    if (it == bus_.end()) return;
    bus_.erase(it);
  }
  {
    std::lock_guard lock(device->mutex_);
    for (auto& [handle, state] : device->handles_) {
      state.live = false;
      state.reports.clear();
    }
  }
  post_changes();
}

std::vector<std::shared_ptr<SimDevice>> SimPlatform::plugged() const {
  std::lock_guard lock(mutex_);
  return bus_;
}

size_t SimPlatform::open_handle_count() const {
  std::lock_guard lock(mutex_);
  return handles_.size();
}

void SimPlatform::set_device_change_poster(std::function<void()> poster) {
  std::lock_guard lock(mutex_);
  poster_ = std::move(poster);
}

void SimPlatform::post_changes() {
  std::function<void()> poster;
  {
    std::lock_guard lock(mutex_);
    poster = poster_;
  }
  if (!poster) return;
  for (int i = 0; i < per_change_; ++i) poster();
}

std::shared_ptr<SimDevice> SimPlatform::device_of(HidHandle handle, bool* live) const {
  std::shared_ptr<SimDevice> device;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
      ++stale_uses_;
      return nullptr;
    }
    device = it->second;
  }
  if (live != nullptr) {
    std::lock_guard lock(device->mutex_);
    auto it = device->handles_.find(handle);
    *live = it != device->handles_.end() && it->second.live;
  }
  return device;
}

bool SimPlatform::enumerate(std::vector<std::string>& paths) {
  if (!enumeration_available_) return false;
  for (const auto& device : plugged()) paths.push_back(device->config().path);
  return true;
}

HidHandle SimPlatform::open(const std::string& path, OpenMode mode) {
  ++open_calls_;
  std::lock_guard lock(mutex_);
  for (const auto& device : bus_) {
    std::lock_guard device_lock(device->mutex_);
    if (device->config_.path != path) continue;
    const bool wants_write = mode == OpenMode::ProbeReadWrite || mode == OpenMode::ReadWrite;
    if (device->config_.access == SimAccess::None) return HID_NO_HANDLE;
    if (wants_write && device->config_.access != SimAccess::ReadWrite) return HID_NO_HANDLE;
    const HidHandle handle = next_handle_;
    next_handle_ += 4;
    handles_[handle] = device;
    device->handles_[handle] = SimDevice::HandleState{};
    return handle;
  }
  return HID_NO_HANDLE;
}

void SimPlatform::close(HidHandle handle) {
  std::shared_ptr<SimDevice> device;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
      ++stale_uses_;
      return;
    }
    device = it->second;
    handles_.erase(it);
  }
  std::lock_guard lock(device->mutex_);
  device->handles_.erase(handle);
}

bool SimPlatform::attributes(HidHandle handle, HidAttributes& out) {
  auto device = device_of(handle, nullptr);
  if (!device) return false;
  const SimDeviceConfig config = device->config();
  if (!config.attributes_readable) return false;
  out.VendorID = config.vendor_id;
  out.ProductID = config.product_id;
  out.VersionNumber = config.version;
  return true;
}

std::optional<std::string> SimPlatform::string(HidHandle handle, StringKind kind) {
  auto device = device_of(handle, nullptr);
  if (!device) return std::nullopt;
  const SimDeviceConfig config = device->config();
  switch (kind) {
    case StringKind::Manufacturer: return config.manufacturer;
    case StringKind::Product: return config.product;
    case StringKind::SerialNumber: return config.serial;
  }
  return std::nullopt;
}

bool SimPlatform::set_num_input_buffers(HidHandle handle, uint32_t count) {
  return device_of(handle, nullptr) != nullptr && count >= 2;
}

bool SimPlatform::report_layout(HidHandle handle, HidReportLayout& out) {
  auto device = device_of(handle, nullptr);
  if (!device) return false;
  const SimDeviceConfig config = device->config();
  if (!config.has_preparsed_data) return false;
  out.InputReportByteLength = config.input_length;
  out.OutputReportByteLength = config.output_length;
  out.FeatureReportByteLength = config.feature_length;
  const std::vector<HidValueCap>* lists[3] = {&config.input_values, &config.output_values,
                                              &config.feature_values};
  for (int type = 0; type < 3; ++type) {
    ValueCapsAnswer& answer = out.Values[type];
    const auto& caps = *lists[type];
    const size_t filled = std::min<size_t>(caps.size(), HID_VALUE_CAPS_ASKED);
    std::copy_n(caps.begin(), filled, answer.Caps);
    answer.Count = static_cast<uint16_t>(filled);
    answer.Status = caps.empty() ? HIDP_STATUS_USAGE_NOT_FOUND
                    : caps.size() > HID_VALUE_CAPS_ASKED ? HIDP_STATUS_BUFFER_TOO_SMALL
                                                         : HIDP_STATUS_SUCCESS;
    if (config.forced_status[type]) answer.Status = *config.forced_status[type];
  }
  return true;
}

bool SimPlatform::write_report(HidHandle handle, const uint8_t* data, uint16_t length,
                               uint32_t timeout_ms) {
  bool live = false;
  auto device = device_of(handle, &live);
  // A removed or stalled device never completes the transfer: the caller's
  // wait runs out.
  if (device && live && device->on_output_report(data, length, OutputPath::Write)) return true;
  std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
  return false;
}

bool SimPlatform::read_report_nowait(HidHandle handle, uint8_t* buffer, uint16_t length) {
  ++read_calls_;
  bool live = false;
  auto device = device_of(handle, &live);
  if (!device || !live) return false;
  std::lock_guard lock(device->mutex_);
  auto& reports = device->handles_[handle].reports;
  if (reports.empty()) return false;
  const std::vector<uint8_t>& report = reports.front();
  std::fill_n(buffer, length, uint8_t{0});
  std::copy_n(report.begin(), std::min<size_t>(report.size(), length), buffer);
  reports.pop_front();
  return true;
}

bool SimPlatform::set_output_report(HidHandle handle, void* buffer, uint16_t length) {
  bool live = false;
  auto device = device_of(handle, &live);
  if (!device || !live || length == 0) return false;
  return device->on_output_report(static_cast<const uint8_t*>(buffer), length, OutputPath::Control);
}

bool SimPlatform::get_input_report(HidHandle handle, void* buffer, uint16_t length) {
  bool live = false;
  auto device = device_of(handle, &live);
  if (!device || !live || length == 0) return false;
  return device->on_get_input_report(static_cast<uint8_t*>(buffer), length);
}

bool SimPlatform::set_feature(HidHandle handle, void* buffer, uint16_t length) {
  bool live = false;
  auto device = device_of(handle, &live);
  if (!device || !live || length == 0) return false;
  return device->on_set_feature(static_cast<const uint8_t*>(buffer), length);
}

bool SimPlatform::get_feature(HidHandle handle, void* buffer, uint16_t length) {
  bool live = false;
  auto device = device_of(handle, &live);
  if (!device || !live || length == 0) return false;
  return device->on_get_feature(static_cast<uint8_t*>(buffer), length);
}

}  // namespace hidlib
