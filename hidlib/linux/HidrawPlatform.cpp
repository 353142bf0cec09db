#include "HidrawPlatform.h"

#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace hidlib {

bool OpenRefusal::permission() const { return error == EACCES || error == EPERM; }

int read_node_report(int fd, bool numbered, uint8_t* buffer, uint16_t length) {
  if (fd < 0 || length == 0) return -1;
  // hidraw hands over one whole report per read, without an ID byte when the
  // reports are unnumbered.
  uint8_t* into = numbered ? buffer : buffer + 1;
  const size_t room = numbered ? length : length - 1u;
  ssize_t n;
  do {
    n = ::read(fd, into, room);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  if (n == 0) return -1;  // hidraw never gives an empty report: the node is gone
  if (!numbered) buffer[0] = 0;
  const size_t filled = static_cast<size_t>(n) + (numbered ? 0 : 1);
  std::memset(buffer + filled, 0, length - filled);
  return 1;
}

namespace {

bool write_node(int fd, const uint8_t* data, uint16_t length) {
  if (fd < 0 || length == 0) return false;
  ssize_t n;
  do {
    n = ::write(fd, data, length);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(length);
}

bool node_ioctl(int fd, unsigned long request, void* buffer) {
  if (fd < 0 || buffer == nullptr) return false;
  int r;
  do {
    r = ::ioctl(fd, request, buffer);
  } while (r < 0 && errno == EINTR);
  return r >= 0;
}

// One read kept "pending" as a poll(2) on the node, and an eventfd for the
// wake-ups. Nothing is in flight in the kernel while it waits: a report stays
// in the node's buffer until wait() takes it, so cancel() never loses one.
class PollReadWaiter final : public ReadWaiter {
 public:
  explicit PollReadWaiter(const HidrawPlatform& platform)
      : platform_(platform), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~PollReadWaiter() override {
    if (wake_ >= 0) ::close(wake_);
  }

  void signal() override {
    const uint64_t one = 1;
    // A full counter still wakes the waiter; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
  }

  bool start(HidHandle handle, uint16_t length) override {
    const HidrawPlatform::Node node = platform_.node(handle);
    if (node.fd < 0 || length == 0) return false;
    node_ = node;
    length_ = length;
    pending_ = true;
    return true;
  }

  Wake wait() override {
    for (;;) {
      pollfd fds[2] = {{wake_, POLLIN, 0}, {node_.fd, POLLIN, 0}};
      const int r = ::poll(fds, pending_ ? 2 : 1, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        pending_ = false;
        return Wake::Failed;
      }
      // A read that has ended wins over a signal.
      if (pending_ && fds[1].revents != 0) {
        report_.assign(length_, 0);
        const int got = read_node_report(node_.fd, node_.numbered, report_.data(), length_);
        if (got > 0) {
          pending_ = false;
          return Wake::Report;
        }
        if (got < 0 || (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))) {
          pending_ = false;
          return Wake::Failed;
        }
        // Readable yet empty (another reader of the same file took it): wait on.
      }
      if (fds[0].revents & POLLIN) {
        uint64_t count;
        [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
        return Wake::Signalled;
      }
    }
  }

  bool cancel() override {
    pending_ = false;
    return false;  // nothing was taken: any report is still in the node's buffer
  }

  const std::vector<uint8_t>& report() const override { return report_; }

 private:
  const HidrawPlatform& platform_;
  const int wake_;
  HidrawPlatform::Node node_;
  uint16_t length_ = 0;
  bool pending_ = false;
  std::vector<uint8_t> report_;
};

}  // namespace

HidrawPlatform::HidrawPlatform(std::unique_ptr<HidrawSystem> system) : system_(std::move(system)) {}

HidrawPlatform::~HidrawPlatform() {
  system_->watch(nullptr);
  for (auto& [handle, e] : entries_)
    if (e.fd >= 0) ::close(e.fd);
}

bool HidrawPlatform::enumerate(std::vector<std::string>& paths) { return system_->list(paths); }

HidHandle HidrawPlatform::open(const std::string& path, OpenMode mode) {
  Entry e;
  e.path = path;
  auto info = system_->describe(path);
  if (!info) return HID_NO_HANDLE;
  e.info = std::move(*info);
  e.parsed = parse_report_descriptor(e.info.descriptor);
  switch (mode) {
    case OpenMode::ProbeQuery: break;  // sysfs says it all
    case OpenMode::ProbeReadWrite:
      if (!system_->may_open(path)) return HID_NO_HANDLE;
      break;
    case OpenMode::ReadWrite:
    case OpenMode::Query: {
      int error = 0;
      e.fd = system_->open_node(path, error);
      std::lock_guard lock(mutex_);
      if (e.fd < 0) {
        refusals_[path] = OpenRefusal{path, e.info.serial, error};
        return HID_NO_HANDLE;
      }
      refusals_.erase(path);
      break;
    }
  }
  std::lock_guard lock(mutex_);
  if (next_ == HID_NO_HANDLE) next_ = 1;
  const HidHandle handle = next_++;
  entries_.emplace(handle, std::move(e));
  return handle;
}

void HidrawPlatform::close(HidHandle handle) {
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(handle);
    if (it == entries_.end()) return;
    fd = it->second.fd;
    entries_.erase(it);
  }
  if (fd >= 0) ::close(fd);
}

std::optional<HidrawPlatform::Entry> HidrawPlatform::entry(HidHandle handle) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(handle);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

HidrawPlatform::Node HidrawPlatform::node(HidHandle handle) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(handle);
  if (it == entries_.end()) return {};
  return {it->second.fd, it->second.parsed.numbered};
}

bool HidrawPlatform::attributes(HidHandle handle, HidAttributes& out) {
  auto e = entry(handle);
  if (!e) return false;
  out = e->info.attributes;
  return true;
}

std::optional<std::string> HidrawPlatform::string(HidHandle handle, StringKind kind) {
  auto e = entry(handle);
  if (!e) return std::nullopt;
  switch (kind) {
    case StringKind::Manufacturer: return e->info.manufacturer;
    case StringKind::Product: return e->info.product;
    case StringKind::SerialNumber: return e->info.serial;
  }
  return std::nullopt;
}

// hidraw keeps 64 reports per open file and has no setting for it: the count
// the library asks for is what it has.
bool HidrawPlatform::set_num_input_buffers(HidHandle handle, uint32_t) { return entry(handle).has_value(); }

bool HidrawPlatform::report_layout(HidHandle handle, HidReportLayout& out) {
  auto e = entry(handle);
  if (!e || e->info.descriptor.empty()) return false;
  out = e->parsed.layout;
  return true;
}

bool HidrawPlatform::write_report(HidHandle handle, const uint8_t* data, uint16_t length, uint32_t) {
  return write_node(node(handle).fd, data, length);
}

bool HidrawPlatform::read_report_nowait(HidHandle handle, uint8_t* buffer, uint16_t length) {
  const Node n = node(handle);
  if (n.fd < 0 || length == 0) return false;
  std::vector<uint8_t> taken(length);
  if (read_node_report(n.fd, n.numbered, taken.data(), length) <= 0) return false;
  std::memcpy(buffer, taken.data(), length);  // untouched unless a report came
  return true;
}

std::unique_ptr<ReadWaiter> HidrawPlatform::make_read_waiter() { return std::make_unique<PollReadWaiter>(*this); }

bool HidrawPlatform::set_output_report(HidHandle handle, void* buffer, uint16_t length) {
  return buffer != nullptr && write_node(node(handle).fd, static_cast<const uint8_t*>(buffer), length);
}

bool HidrawPlatform::get_input_report(HidHandle handle, void* buffer, uint16_t length) {
  return length > 0 && node_ioctl(node(handle).fd, HIDIOCGINPUT(length), buffer);
}

bool HidrawPlatform::set_feature(HidHandle handle, void* buffer, uint16_t length) {
  return length > 0 && node_ioctl(node(handle).fd, HIDIOCSFEATURE(length), buffer);
}

bool HidrawPlatform::get_feature(HidHandle handle, void* buffer, uint16_t length) {
  return length > 0 && node_ioctl(node(handle).fd, HIDIOCGFEATURE(length), buffer);
}

void HidrawPlatform::set_device_change_poster(std::function<void()> poster) {
  if (!poster) {
    system_->watch(nullptr);
    return;
  }
  system_->watch([this, poster = std::move(poster)](bool added, const std::string& path) {
    if (handler_)
      handler_(NodeChange{added, path});
    else
      poster();
  });
}

std::optional<OpenRefusal> HidrawPlatform::open_refusal(const std::string& serial) const {
  std::lock_guard lock(mutex_);
  for (const auto& [path, refusal] : refusals_)
    if (refusal.serial && *refusal.serial == serial) return refusal;
  return std::nullopt;
}

}  // namespace hidlib
