// A stand-in for the system side of the hidraw platform: nodes described as
// udev would describe them, opened as one end of a SOCK_SEQPACKET socket pair,
// which keeps report boundaries as hidraw does (one read, one report; the far
// end closing is the node going away).
#pragma once

#include "HidrawPlatform.h"
#include "descriptors.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hidlib::testing {

using Bytes = std::vector<uint8_t>;

struct FakeNode {
  std::string path;
  HidrawNodeInfo info;
  bool may_open = true;
  int open_error = 0;  // open_node fails with it
  int device_end = -1; // the device's end of the last open
};

inline HidrawNodeInfo usb_unit(const std::string& serial, const Bytes& descriptor = descriptors::mx540) {
  HidrawNodeInfo info;
  info.attributes = {0x1209, 0x540A, 0x0110};
  info.manufacturer = "VORNIX";
  info.product = "MX-540KTR";
  info.serial = serial;
  info.descriptor = descriptor;
  return info;
}

struct FakeState {
  std::mutex mutex;
  std::vector<FakeNode> nodes;
  int opens = 0;
  std::function<void(bool, const std::string&)> changed;  // what the platform watches with
  ~FakeState() {
    for (auto& n : nodes)
      if (n.device_end >= 0) ::close(n.device_end);
  }
};

class FakeSystem final : public HidrawSystem {
 public:
  explicit FakeSystem(std::shared_ptr<FakeState> s) : s_(std::move(s)) {}
  bool list(std::vector<std::string>& paths) override {
    std::lock_guard lock(s_->mutex);
    for (auto& n : s_->nodes) paths.push_back(n.path);
    return true;
  }
  std::optional<HidrawNodeInfo> describe(const std::string& path) override {
    std::lock_guard lock(s_->mutex);
    if (FakeNode* n = find(path)) return n->info;
    return std::nullopt;
  }
  bool may_open(const std::string& path) override {
    std::lock_guard lock(s_->mutex);
    FakeNode* n = find(path);
    return n && n->may_open;
  }
  int open_node(const std::string& path, int& error) override {
    std::lock_guard lock(s_->mutex);
    ++s_->opens;
    FakeNode* n = find(path);
    if (!n || n->open_error) {
      error = n ? n->open_error : ENOENT;
      return -1;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
      error = errno;
      return -1;
    }
    if (n->device_end >= 0) ::close(n->device_end);
    n->device_end = ends[1];
    return ends[0];
  }
  void watch(std::function<void(bool, const std::string&)> changed) override {
    std::lock_guard lock(s_->mutex);
    s_->changed = std::move(changed);
  }

 private:
  FakeNode* find(const std::string& path) {
    for (auto& n : s_->nodes)
      if (n.path == path) return &n;
    return nullptr;
  }
  std::shared_ptr<FakeState> s_;
};

}  // namespace hidlib::testing
