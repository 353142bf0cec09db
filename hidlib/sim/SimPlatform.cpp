#include "SimPlatform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace hidlib {

namespace {
constexpr size_t kDriverBuffers = 64;
}

// One read held pending on a handle: the device completes it under its own
// lock, the waiter that started it sleeps on `wake`.
struct SimPendingRead {
  struct Wake {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
  };
  std::shared_ptr<Wake> wake;
  uint16_t length = 0;
  // Under wake->mutex.
  bool done = false;
  bool took_report = false;
  std::vector<uint8_t> bytes;

  // `report` nullptr: the read ends without one.
  void complete(const std::vector<uint8_t>* report) {
    std::lock_guard lock(wake->mutex);
    done = true;
    took_report = report != nullptr;
    if (report != nullptr) {
      bytes.assign(length, 0);
      std::memcpy(bytes.data(), report->data(), std::min<size_t>(report->size(), length));
    }
    wake->changed.notify_all();
  }
};

void SimDevice::fail_pending(HandleState& state) {
  for (const auto& read : state.pending) read->complete(nullptr);
  state.pending.clear();
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
    if (!state.pending.empty()) {
      state.pending.front()->complete(&report);
      state.pending.pop_front();
      continue;
    }
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
      SimDevice::fail_pending(state);
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
  std::shared_ptr<SimDevice> opened;
  HidHandle handle = HID_NO_HANDLE;
  {
    std::lock_guard lock(mutex_);
    for (const auto& device : bus_) {
      std::lock_guard device_lock(device->mutex_);
      if (device->config_.path != path) continue;
      const bool wants_write = mode == OpenMode::ProbeReadWrite || mode == OpenMode::ReadWrite;
      if (device->config_.access == SimAccess::None) return HID_NO_HANDLE;
      if (wants_write && device->config_.access != SimAccess::ReadWrite) return HID_NO_HANDLE;
      handle = next_handle_;
      next_handle_ += 4;
      handles_[handle] = device;
      device->handles_[handle] = SimDevice::HandleState{};
      opened = device;
      break;
    }
  }
  // Hooks run with no platform lock held.
  if (opened) opened->on_open(mode);
  return handle;
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
  {
    std::lock_guard lock(device->mutex_);
    auto state = device->handles_.find(handle);
    if (state == device->handles_.end()) return;
    SimDevice::fail_pending(state->second);  // as closing a handle aborts its transfers
    device->handles_.erase(state);
  }
  // Hooks run with no lock held.
  device->on_close();
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
  if (device_of(handle, nullptr) == nullptr) return false;
  std::lock_guard lock(mutex_);
  input_buffer_requests_.emplace_back(handle, count);
  return count >= 2;
}

std::vector<std::pair<HidHandle, uint32_t>> SimPlatform::input_buffer_requests() const {
  std::lock_guard lock(mutex_);
  return input_buffer_requests_;
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

size_t SimPlatform::pending_reads() const {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (const auto& [handle, device] : handles_) {
    std::lock_guard device_lock(device->mutex_);
    auto it = device->handles_.find(handle);
    if (it != device->handles_.end()) count += it->second.pending.size();
  }
  return count;
}

void SimPlatform::set_report_taken_hook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  report_taken_hook_ = std::move(hook);
}

std::function<void()> SimPlatform::report_taken_hook() const {
  std::lock_guard lock(mutex_);
  return report_taken_hook_;
}

bool SimPlatform::begin_read(HidHandle handle, const std::shared_ptr<SimPendingRead>& read) {
  ++read_calls_;
  bool live = false;
  auto device = device_of(handle, &live);
  if (!device || !live) return false;
  std::lock_guard lock(device->mutex_);
  auto it = device->handles_.find(handle);
  if (it == device->handles_.end()) return false;
  auto& state = it->second;
  if (state.reports.empty()) {
    state.pending.push_back(read);
  } else {
    read->complete(&state.reports.front());
    state.reports.pop_front();
  }
  return true;
}

void SimPlatform::withdraw_read(HidHandle handle, const std::shared_ptr<SimPendingRead>& read) {
  std::shared_ptr<SimDevice> device;
  {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return;  // closed: its reads ended with it
    device = it->second;
  }
  std::lock_guard lock(device->mutex_);
  auto it = device->handles_.find(handle);
  if (it == device->handles_.end()) return;
  auto& pending = it->second.pending;
  pending.erase(std::remove(pending.begin(), pending.end(), read), pending.end());
}

// The read thread's waiter on the simulated bus.
class SimPlatform::Waiter final : public ReadWaiter {
 public:
  explicit Waiter(SimPlatform& bus) : bus_(bus), wake_(std::make_shared<SimPendingRead::Wake>()) {}
  ~Waiter() override { cancel(); }

  void signal() override {
    std::lock_guard lock(wake_->mutex);
    wake_->signalled = true;
    wake_->changed.notify_all();
  }

  bool start(HidHandle handle, uint16_t length) override {
    auto read = std::make_shared<SimPendingRead>();
    read->wake = wake_;
    read->length = length;
    if (!bus_.begin_read(handle, read)) return false;
    handle_ = handle;
    read_ = std::move(read);
    return true;
  }

  Wake wait() override {
    {
      std::unique_lock lock(wake_->mutex);
      wake_->changed.wait(lock, [this] { return (read_ && read_->done) || wake_->signalled; });
      if (!read_ || !read_->done) {
        wake_->signalled = false;
        return Wake::Signalled;
      }
    }
    const std::shared_ptr<SimPendingRead> read = std::move(read_);
    if (!read->took_report) return Wake::Failed;
    bytes_ = read->bytes;
    if (auto hook = bus_.report_taken_hook()) hook();
    return Wake::Report;
  }

  bool cancel() override {
    if (!read_) return false;
    const std::shared_ptr<SimPendingRead> read = std::move(read_);
    // After this the device can no longer complete it: its state is final.
    bus_.withdraw_read(handle_, read);
    std::lock_guard lock(wake_->mutex);
    if (!read->took_report) return false;
    bytes_ = read->bytes;
    return true;
  }

  const std::vector<uint8_t>& report() const override { return bytes_; }

 private:
  SimPlatform& bus_;
  const std::shared_ptr<SimPendingRead::Wake> wake_;
  std::shared_ptr<SimPendingRead> read_;
  HidHandle handle_ = HID_NO_HANDLE;
  std::vector<uint8_t> bytes_;
};

std::unique_ptr<ReadWaiter> SimPlatform::make_read_waiter() { return std::make_unique<Waiter>(*this); }

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
