#include "VirtualDevice.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace mxv {

namespace fs = std::filesystem;

std::optional<fs::path> folder_from_environment() {
  const char* value = std::getenv(folder_variable);
  if (value == nullptr || *value == '\0')
    return std::nullopt;
  return fs::path(value);
}

unsigned units_from_text(const char* text) {
  if (text == nullptr || *text == '\0')
    return 1;
  char* end = nullptr;
  const unsigned long n = std::strtoul(text, &end, 10);
  if (*end != '\0' || n < 1 || n > max_units)
    return 1;
  return static_cast<unsigned>(n);
}

unsigned units_from_environment() { return units_from_text(std::getenv(units_variable)); }

std::string unit_serial(unsigned unit) {
  char serial[32];
  std::snprintf(serial, sizeof serial, "VX540K-%06u", unit);
  return serial;
}

fs::path unit_folder(const fs::path& folder, unsigned unit) {
  return unit <= 1 ? folder : folder / ("unit" + std::to_string(unit));
}

namespace {

constexpr const char* owner_file = "owner.txt";

// owner.txt's stamp where no platform gives one (TVirtualOptions::file_stamp).
uint64_t stamp_of(const fs::path& file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  if (ec)
    return 0;
  const auto time = fs::last_write_time(file, ec);
  if (ec)
    return 0;
  return (static_cast<uint64_t>(time.time_since_epoch().count()) * 1000003u) ^ size ^ 1u;
}

std::mutex inproc_owners_mutex;
std::set<std::string> inproc_owners;
uint64_t inproc_owner_count = 0;

// owner.txt: the process that drives the folder, and on a second line "open"
// while a host of that process has the unit open.
struct TOwner {
  std::string name;  // empty: nobody
  bool open = false;
};

std::string owner_text(const std::string& name, bool open) { return name + '\n' + (open ? "open\n" : ""); }

std::string trimmed(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
    line.pop_back();
  return line;
}

// The folder's owner: nobody when there is no owner.txt; nullopt when the
// file is there but cannot be read now (another process replacing it at this
// moment), which must never pass for a free folder.
std::optional<TOwner> read_owner(const fs::path& folder) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::error_code ec;
    if (!fs::exists(folder / owner_file, ec) && !ec)
      return TOwner{};
    std::string text;
    TOwner owner;
    std::istringstream in(read_whole_file(folder / owner_file, text) ? text : std::string());
    std::string line;
    if (std::getline(in, line) && !(owner.name = trimmed(line)).empty()) {
      owner.open = std::getline(in, line) && trimmed(line) == "open";
      return owner;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return std::nullopt;
}

}  // namespace

std::string register_inproc_owner() {
  std::lock_guard lock(inproc_owners_mutex);
  std::string id = "inproc " + std::to_string(++inproc_owner_count);
  inproc_owners.insert(id);
  return id;
}

void unregister_inproc_owner(const std::string& id) {
  std::lock_guard lock(inproc_owners_mutex);
  inproc_owners.erase(id);
}

bool inproc_owner_alive(const std::string& id) {
  std::lock_guard lock(inproc_owners_mutex);
  return inproc_owners.count(id) > 0;
}

hidlib::SimDeviceConfig device_config(const TIdentity& id, unsigned unit) {
  // Each unit its own device instance, as two devices of one kind have.
  char path[160];
  std::snprintf(path, sizeof path,
                "\\\\?\\hid#vid_%04x&pid_%04x#7&2f1c9a3b&0&%04x#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                id.vendor, id.product, unit - 1);
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
    : hidlib::SimDevice(device_config(TIdentity{}, options.unit)), bus_(bus), options_(std::move(options)) {
  if (options_.unit < 1)
    options_.unit = 1;
  model_.set_serial(unit_serial(options_.unit));
  owner_id_ = options_.owner_id;
  if (owner_id_.empty()) {
    owner_id_ = register_inproc_owner();
    own_owner_id_ = true;
  }
  if (!options_.owner_alive)
    options_.owner_alive = inproc_owner_alive;
  if (!options_.file_stamp)
    options_.file_stamp = stamp_of;
  if (options_.folder) {
    folder_path_ = unit_folder(*options_.folder, options_.unit);
    owner_path_ = folder_path_ / owner_file;
    folder_.emplace(folder_path_, owner_id_);
    if (!folder_->prepare())
      folder_.reset();  // an unusable folder leaves the device working in memory
  }
}

TVirtualMx540::~TVirtualMx540() {
  stop();
  {
    std::lock_guard folder_lock(folder_mutex_);
    leave_folder();
  }
  if (own_owner_id_)
    unregister_inproc_owner(owner_id_);
}

void TVirtualMx540::leave_folder() const {
  // The folder is free for the next process.
  if (!folder_path_.empty() && read_owner(folder_path_).value_or(TOwner{}).name == owner_id_) {
    std::error_code ec;
    fs::remove(folder_path_ / owner_file, ec);
  }
}


bool TVirtualMx540::drive_folder_locked(bool opening) {
  if (!folder_)
    return false;
  const std::optional<TOwner> read = read_owner(folder_path_);
  if (!read && !opening)
    return drives_;  // unreadable for now: nothing changes hands
  const TOwner owner = read.value_or(TOwner{});
  const bool mine = owner.name == owner_id_;
  const bool free = owner.name.empty() || mine || !options_.owner_alive(owner.name);
  // A host that opens the unit takes its folder; one that has it open takes
  // it back from a process that does not (an earlier take refused).
  const bool take = opening || (host_opens_ > 0 && !mine && !owner.open);
  if (!take && !free) {
    drives_ = false;  // another process has taken it over
    owner_stamp_ = 0;
    return false;
  }
  // Whoever drove the unit last, the folder holds its state: it is taken up
  // when a host opens the unit, or when this process starts driving a folder
  // that nobody drives, unless the folder holds what this process wrote last.
  // Never over changes a host here made that are not in the folder yet: they
  // are the newest state.
  const bool newly = opening || (!drives_ && host_opens_ == 0);
  if (newly && !host_changes_ && folder_->folder_generation() != folder_->written_generation()) {
    TIdentity id;
    {
      std::lock_guard lock(model_mutex_);
      folder_->load(model_);
      // Left in the other mode (an update cut short, or finished elsewhere):
      // in that mode from now on, and shown anew on this process's bus.
      const auto mode = folder_->saved_mode();
      if (mode && *mode != model_.mode()) {
        model_.start_in(*mode);
        model_.reenumerate(now_ms(), *mode, model_.version(), 0);
      }
      id = model_.identity();
    }
    update_config([&](hidlib::SimDeviceConfig& c) { c.version = id.version; });
  }
  const bool open = host_opens_ > 0;
  if (!mine || owner.open != open) {
    // Windows refuses to replace a file while another process reads it: a
    // host opening the unit tries for longer; a pass tries again next time.
    bool written = false;
    for (int attempt = 0; attempt < (opening ? 10 : 1) && !written; ++attempt)
      written = write_atomically(folder_path_ / owner_file, owner_text(owner_id_, open));
    if (!written) {
      drives_ = mine;
      return mine;
    }
    owner_stamp_ = options_.file_stamp(folder_path_ / owner_file);
  }
  drives_ = true;
  return true;
}

bool TVirtualMx540::drives_folder() const {
  std::lock_guard folder_lock(folder_mutex_);
  return drives_;
}

void TVirtualMx540::on_open(hidlib::OpenMode mode) {
  // The library's probes during a scan are not a host taking the unit.
  if (mode != hidlib::OpenMode::ReadWrite && mode != hidlib::OpenMode::Query)
    return;
  std::lock_guard folder_lock(folder_mutex_);
  ++host_opens_;
  drive_folder_locked(true);
}

void TVirtualMx540::on_close() {
  {
    // Probes close too: the live handles bound the hosts' ones.
    std::lock_guard folder_lock(folder_mutex_);
    host_opens_ = std::min(host_opens_, open_handles());
  }
  flush();
}

uint64_t TVirtualMx540::now_ms() const {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_).count());
}

void TVirtualMx540::start() {
  TIdentity id;
  {
    std::lock_guard folder_lock(folder_mutex_);
    {
      std::lock_guard lock(model_mutex_);
      if (folder_) {
        folder_->load(model_);
        // A unit an earlier program left in its boot loader is still there.
        if (auto mode = folder_->saved_mode())
          model_.start_in(*mode);
      }
    }
    drive_folder_locked(false);
    std::lock_guard lock(model_mutex_);
    id = model_.identity();
  }
  update_config([&](hidlib::SimDeviceConfig& c) { c = device_config(id, options_.unit); });
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
  if (!folder_ || !drives_)
    return;
  // Only the copying holds the model; the host's transfers go on while the
  // files are written.
  TStateSnapshot snapshot;
  {
    std::lock_guard lock(model_mutex_);
    snapshot = folder_->snapshot(model_);
    host_changes_ = false;  // in the folder from now on
  }
  folder_->write(snapshot);
}

bool TVirtualMx540::commands_pending() const {
  std::error_code ec;
  if (!options_.folder)
    return false;
  for (fs::directory_iterator it(folder_path_ / "control", ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".cmd")
      return true;
  return false;
}

bool TVirtualMx540::on_output_report(const uint8_t* data, size_t length, hidlib::OutputPath) {
  TReportOutcome outcome;
  std::vector<TInputReport> replies;
  bool changed = false;
  {
    std::lock_guard lock(model_mutex_);
    const TRevisions before = model_.revisions();
    const TFaults faults_before = model_.faults;
    outcome = model_.output_report(data, length, now_ms());
    replies = model_.take_input_reports();
    const TRevisions& now = model_.revisions();
    changed = now.settings != before.settings || !(model_.faults == faults_before);
    if (changed || now.flash != before.flash || now.eeprom != before.eeprom || now.device != before.device)
      host_changes_ = true;
  }
  // A host may end right after its last frame, before the service thread's
  // next pass and before its close reaches the device (the library closes on
  // its read thread, which the process's end may cut short): a changed
  // settings record, or a fault spent, goes to the folder before the device
  // answers.
  if (changed)
    flush();
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
  if (apply_bus_events_locked())
    flush();  // a unit that leaves or comes back has its state on disk, also when the host ends at once
}

bool TVirtualMx540::apply_bus_events_locked() {
  std::lock_guard bus_lock(bus_mutex_);
  std::vector<TBusEvent> events;
  TIdentity id;
  {
    std::lock_guard lock(model_mutex_);
    events = model_.take_bus_events();
    id = model_.identity();
  }
  if (events.empty())
    return false;
  auto self = std::static_pointer_cast<TVirtualMx540>(shared_from_this());
  for (TBusEvent event : events) {
    if (event == TBusEvent::leave) {
      bus_.unplug(self);
    } else {
      // The identity it comes back with (boot loader or firmware, version).
      update_config([&](hidlib::SimDeviceConfig& c) { c = device_config(id, options_.unit); });
      bus_.plug(self);
    }
  }
  return true;
}

void TVirtualMx540::run_command_files() {
  std::vector<TCommandFile> files;
  {
    std::lock_guard folder_lock(folder_mutex_);
    // Only the process that drives the folder runs its commands.
    if (!drive_folder_locked(false))
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
  if (options.owner_id.empty()) {
    owner_id_ = register_inproc_owner();
    options.owner_id = owner_id_;
  }
  for (unsigned unit = 1; unit <= std::max(options.units, 1u); ++unit) {
    TVirtualOptions unit_options = options;
    unit_options.unit = unit;
    devices_.push_back(std::make_shared<TVirtualMx540>(bus_, unit_options));
    // On the bus before the library loads, as a device plugged in before the
    // program started: the host finds it with its first scan, without a device change.
    devices_.back()->start();
  }
  loaded_ = std::make_unique<hidlib::LoadedLibrary>(bus_);
}

TInprocVirtualLibrary::~TInprocVirtualLibrary() {
  loaded_.reset();
  for (auto& device : devices_) {
    device->stop();
    bus_.unplug(device);
  }
  devices_.clear();
  if (!owner_id_.empty())
    unregister_inproc_owner(owner_id_);
}

}  // namespace mxv
