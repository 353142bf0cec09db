#include "VirtualDevice.h"

#include <cstdlib>
#include <cstdio>

namespace mxv {

namespace fs = std::filesystem;

std::optional<fs::path> folder_from_environment() {
  const char* value = std::getenv(folder_variable);
  if (value == nullptr || *value == '\0')
    return std::nullopt;
  return fs::path(value);
}

hidlib::SimDeviceConfig device_config(const TIdentity& id) {
  char path[160];
  std::snprintf(path, sizeof path,
                "\\\\?\\hid#vid_%04x&pid_%04x#7&2f1c9a3b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                id.vendor, id.product);
  hidlib::SimDeviceConfig config;
  config.path = path;
  config.vendor_id = id.vendor;
  config.product_id = id.product;
  config.version = id.version;
  config.manufacturer = id.manufacturer_string;
  config.product = id.product_string;
  config.serial = id.serial_string;
  config.access = hidlib::SimAccess::ReadWrite;
  // Report ID 1, 64 data bytes each way, described as one 64-byte value.
  config.input_length = hid_report_len;
  config.output_length = hid_report_len;
  config.feature_length = 0;
  config.input_values = {hidlib::HidValueCap{0x01, protocol_report_id, 8, 64}};
  config.output_values = {hidlib::HidValueCap{0x02, protocol_report_id, 8, 64}};
  return config;
}

TVirtualMx540::TVirtualMx540(hidlib::SimPlatform& bus, TVirtualOptions options)
    : hidlib::SimDevice(device_config(TIdentity{})), bus_(bus), options_(std::move(options)) {
  if (options_.folder) {
    folder_.emplace(*options_.folder);
    if (!folder_->prepare())
      folder_.reset();  // an unusable folder leaves the device working in memory
  }
}

TVirtualMx540::~TVirtualMx540() { stop(); }

uint64_t TVirtualMx540::now_ms() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count());
}

void TVirtualMx540::start() {
  TIdentity id;
  {
    std::lock_guard folder_lock(folder_mutex_);
    std::lock_guard lock(model_mutex_);
    if (folder_)
      folder_->load(model_);
    id = model_.identity();
  }
  update_config([&](hidlib::SimDeviceConfig& c) { c = device_config(id); });
  bus_.set_notifications_per_change(options_.notifications_per_change);
  bus_.plug(std::static_pointer_cast<TVirtualMx540>(shared_from_this()));
  // Commands left in the folder before the start run before the host sees anything.
  run_command_files();
  flush();
  service_ = std::thread([this] { service_loop(); });
}

void TVirtualMx540::stop() {
  {
    std::lock_guard lock(stop_mutex_);
    stop_ = true;
  }
  stop_wake_.notify_all();
  if (service_.joinable())
    service_.join();
  flush();
}

std::string TVirtualMx540::control(const std::string& line) {
  std::string result;
  TIdentity id;
  {
    std::lock_guard lock(model_mutex_);
    result = model_.control(line, now_ms());
    id = model_.identity();
  }
  // A new version shows at the next scan, as a re-read device descriptor would.
  update_config([&](hidlib::SimDeviceConfig& c) { c.version = id.version; });
  apply_bus_events();
  return result;
}

void TVirtualMx540::flush() {
  std::lock_guard folder_lock(folder_mutex_);
  if (!folder_)
    return;
  // Only the copying holds the model; the host's transfers go on while the
  // files are written.
  TStateSnapshot snapshot;
  {
    std::lock_guard lock(model_mutex_);
    snapshot = folder_->snapshot(model_);
  }
  folder_->write(snapshot);
}

bool TVirtualMx540::commands_pending() const {
  std::error_code ec;
  if (!options_.folder)
    return false;
  for (fs::directory_iterator it(*options_.folder / "control", ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".cmd")
      return true;
  return false;
}

bool TVirtualMx540::on_output_report(const uint8_t* data, size_t length, hidlib::OutputPath) {
  TReportOutcome outcome;
  std::vector<TInputReport> replies;
  {
    std::lock_guard lock(model_mutex_);
    outcome = model_.output_report(data, length, now_ms());
    replies = model_.take_input_reports();
  }
  // The transfer (and an erase the device does before it acknowledges) keeps
  // the host's call busy, as the control pipe does.
  if (outcome.cost_us)
    std::this_thread::sleep_for(std::chrono::microseconds(outcome.cost_us));
  for (const auto& report : replies)
    queue_input_report(report.data(), report.size());
  apply_bus_events();
  return outcome.accepted;
}

void TVirtualMx540::apply_bus_events() {
  std::lock_guard bus_lock(bus_mutex_);
  std::vector<TBusEvent> events;
  TIdentity id;
  {
    std::lock_guard lock(model_mutex_);
    events = model_.take_bus_events();
    id = model_.identity();
  }
  if (events.empty())
    return;
  auto self = std::static_pointer_cast<TVirtualMx540>(shared_from_this());
  for (TBusEvent event : events) {
    if (event == TBusEvent::leave) {
      bus_.unplug(self);
    } else {
      // The identity it comes back with (boot loader or firmware, version).
      update_config([&](hidlib::SimDeviceConfig& c) { c = device_config(id); });
      bus_.plug(self);
    }
  }
}

void TVirtualMx540::run_command_files() {
  std::vector<TCommandFile> files;
  {
    std::lock_guard folder_lock(folder_mutex_);
    if (!folder_)
      return;
    files = folder_->ready_commands();
  }
  for (const auto& file : files) {
    std::vector<std::string> results;
    for (const auto& line : file.lines)
      results.push_back(control(line));
    std::lock_guard folder_lock(folder_mutex_);
    folder_->finish_command(file, results);
  }
}

void TVirtualMx540::service_loop() {
  uint64_t last_folder_pass = 0;
  std::unique_lock stop_lock(stop_mutex_);
  while (!stop_) {
    stop_lock.unlock();
    {
      std::lock_guard lock(model_mutex_);
      model_.poll(now_ms());
    }
    apply_bus_events();
    const uint64_t now = now_ms();
    if (now - last_folder_pass >= options_.control_poll_ms) {
      last_folder_pass = now;
      run_command_files();
      flush();
    }
    stop_lock.lock();
    stop_wake_.wait_for(stop_lock, std::chrono::milliseconds(options_.service_ms), [this] { return stop_; });
  }
}

TInprocVirtualLibrary::TInprocVirtualLibrary(TVirtualOptions options) {
  device_ = std::make_shared<TVirtualMx540>(bus_, std::move(options));
  // On the bus before the library loads, as a device plugged in before the
  // program started: the host finds it with its first scan, without a device change.
  device_->start();
  loaded_ = std::make_unique<hidlib::LoadedLibrary>(bus_);
}

TInprocVirtualLibrary::~TInprocVirtualLibrary() {
  loaded_.reset();
  device_->stop();
  bus_.unplug(device_);
}

}  // namespace mxv
