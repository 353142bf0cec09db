#include "LinuxTool.h"

#include "HidExports.h"
#include "mx540ctl_udev_rule.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace mx::ctl {

const std::string& udev_rule_text() {
  static const std::string text = mx540ctl_udev_rule;
  return text;
}

Failure permission_failure(const std::string& serial, const std::string& node, const std::string& installed_at) {
  const std::string refused = "The unit " + serial + " (" + node + ") cannot be opened: permission denied.\n";
  if (!installed_at.empty())
    return {Status::no_unit,
            refused + "The udev rule " + installed_at +
                " is installed; it gives the units only to the user logged in at the local seat. "
                "For users who log in over SSH, give a group the units as the rule's comments say "
                "(mx540ctl udev-rule), and add the user to that group."};
  return {Status::no_unit,
          refused + "MX-540KTR units need the udev rule " + udev_rule_file +
              " (the mx540ctl package installs it). Install it with:\n"
              "  mx540ctl udev-rule | sudo tee /etc/udev/rules.d/" + udev_rule_file + "\n"
              "  sudo udevadm control --reload && sudo udevadm trigger --subsystem-match=hidraw\n"
              "It gives the units to the user at the local seat; for users who log in over SSH, "
              "see the rule's comments (mx540ctl udev-rule)."};
}

std::string installed_udev_rule(const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    const std::string path = folder + "/" + udev_rule_file;
    if (::access(path.c_str(), F_OK) == 0) return path;
  }
  return {};
}

namespace {

class BuiltInLibrary final : public TLinkPlatform {
 public:
  bool has_file(const std::string&) const override { return true; }
  bool read_resource(std::vector<uint8_t>&) const override { return false; }
  void create_file(const std::string&, const std::vector<uint8_t>&) const override {}
  std::string path_of(const std::string& name) const override { return name + " (built in)"; }
  void* load(const std::string&) const override {
    static int loaded;  // stands for the library, which is the program itself
    return &loaded;
  }
  void* entry(void*, const char* name) const override { return hidlib::resolve_export(name); }
  std::string record_text(const THIDString& field) const override { return hid_text(field); }
};

}  // namespace

std::shared_ptr<const TLinkPlatform> built_in_library() { return std::make_shared<BuiltInLibrary>(); }

void PumpingSleeper::node_changed(const hidlib::NodeChange& change) {
  {
    std::lock_guard guard(lock_);
    changes_.push_back(change);
    signalled_ = true;
  }
  woken_.notify_all();
}

void PumpingSleeper::sleep(std::chrono::milliseconds at_most) {
  std::deque<hidlib::NodeChange> changes;
  {
    std::unique_lock lk(lock_);
    woken_.wait_for(lk, at_most, [&] { return signalled_; });
    signalled_ = false;
    changes.swap(changes_);
  }
  // One at a time: each may bind or drop a unit, which decides about the next.
  for (const hidlib::NodeChange& change : changes)
    if (library_ && (!concerns_ || concerns_(change))) library_->device_change_message();
}

void PumpingSleeper::wake() {
  std::lock_guard guard(lock_);
  signalled_ = true;
  woken_.notify_all();
}

bool change_concerns(const hidlib::NodeChange& change, hidlib::HidLibrary& library) {
  const int32_t current = library.current_device();
  if (current < 0) return true;
  THIDDeviceInfo info;
  library.get_device_info(static_cast<uint8_t>(current), &info);
  if (info.DeviceHandle == HID_NO_HANDLE) return true;  // not open, or the table scanned anew
  std::string path = hid_text(info.DevicePath);
  if (!path.empty() && path.back() == '\0') path.pop_back();
  return !change.added && change.path == path;
}

long child_exit_code(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

std::string own_program() {
  std::string path(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) return "mx540ctl";
  path.resize(static_cast<size_t>(n));
  return path;
}

Children::~Children() { stop(); }

size_t Children::start(const std::vector<std::vector<std::string>>& children,
                       std::function<void(size_t, const std::string&)> line, std::function<void(size_t, long)> ended,
                       std::string& error) {
  for (size_t i = 0; i < children.size(); ++i) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
      error = std::strerror(errno);
      return i;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<std::string> words = {program_};
    words.insert(words.end(), children[i].begin(), children[i].end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, program_.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
      ::close(out[0]);
      error = std::strerror(spawned);
      return i;
    }
    pids_.push_back(pid);
    readers_.emplace_back([this, i, pid, read_end = out[0], line, ended] {
      std::string pending;
      char buffer[512];
      for (;;) {
        const ssize_t got = ::read(read_end, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        pending.append(buffer, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
          std::string text = pending.substr(0, end);
          pending.erase(0, end + 1);
          loop_.post([line, i, text] { line(i, text); });
        }
      }
      ::close(read_end);
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      const long code = child_exit_code(status);
      loop_.post([ended, i, code] { ended(i, code); });
    });
  }
  return children.size();
}

void Children::stop() {
  // A child not yet waited for is still ours (a zombie at worst): its pid
  // cannot have gone to another process.
  for (pid_t pid : pids_) {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0)
      ::kill(pid, SIGKILL);
  }
  // Each reader ends once its child has: the pipe closes with it.
  for (auto& reader : readers_)
    if (reader.joinable()) reader.join();
  readers_.clear();
  pids_.clear();
}

namespace {

volatile std::sig_atomic_t interrupt_seen = 0;

extern "C" void on_interrupt(int) { interrupt_seen = 1; }

}  // namespace

bool child_bound_to_parent() {
  ::signal(SIGINT, SIG_IGN);
  const pid_t parent = ::getppid();
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The parent may have ended before the line above: the child is then
  // someone else's already.
  return ::getppid() == parent;
}

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() { return interrupt_seen != 0; }

}  // namespace mx::ctl
