// The Linux side of mx540ctl: the HID library linked in over the hidraw
// platform, the main thread's sleep that also runs the library's device
// changes, the children of `update --all`, and the permission message.
#pragma once

#include "ExitStatus.h"
#include "HidrawPlatform.h"
#include "LoadedLibrary.h"
#include "MainLoop.h"
#include "USB.h"

#include <sys/types.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mx::ctl {

// The rule file the package installs and `udev-rule` prints.
inline constexpr char udev_rule_file[] = "70-mx540ktr.rules";
// Its text (built in from mx540ctl/linux/70-mx540ktr.rules).
const std::string& udev_rule_text();

// Where the rule is looked for, in udev's order.
inline constexpr const char* udev_rule_folders[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                                     "/lib/udev/rules.d"};

// The status-2 failure for a unit whose node this user may not open: names
// the node and the rule; with the rule not installed (`installed_at` empty),
// the command that installs it; with it installed, that it serves only the
// user at the local seat, and what serves users who log in over SSH.
Failure permission_failure(const std::string& serial, const std::string& node, const std::string& installed_at);
// The rule file installed in one of `folders`, or empty.
std::string installed_udev_rule(const std::vector<std::string>& folders = {std::begin(udev_rule_folders),
                                                                           std::end(udev_rule_folders)});

// The link's platform when the HID library is part of the program: nothing to
// write or load, the 18 entries are the process library's (hidlib_exports),
// record strings are UTF-8 as sysfs gives them.
std::shared_ptr<const TLinkPlatform> built_in_library();

// Sleeps on a condition variable. The node changes the hidraw platform hands
// over wake it and become device changes of the library on this thread (the
// link's rescan runs here, as it runs on the Windows tool's main thread from
// the library's window messages): those that concern the process when they
// are delivered, not when they came (change_concerns).
class PumpingSleeper final : public Sleeper {
 public:
  void attach(hidlib::HidLibrary& library, std::function<bool(const hidlib::NodeChange&)> concerns) {
    library_ = &library;
    concerns_ = std::move(concerns);
  }
  void node_changed(const hidlib::NodeChange& change);  // any thread
  void sleep(std::chrono::milliseconds at_most) override;
  void wake() override;

 private:
  hidlib::HidLibrary* library_ = nullptr;
  std::function<bool(const hidlib::NodeChange&)> concerns_;
  std::mutex lock_;
  std::condition_variable woken_;
  bool signalled_ = false;
  std::deque<hidlib::NodeChange> changes_;
};

// A process whose library has no device open looks again at every change.
// One with its unit open is concerned only by that unit's node going away: a
// rescan for anything else (another unit re-enumerating, or its own unit's
// arrival announced after a rescan had found it already) would close and
// reopen its unit in the middle of a transfer. The library's view, not the
// node's: a handle the read thread still holds after a close counts as closed.
bool change_concerns(const hidlib::NodeChange& change, hidlib::HidLibrary& library);

// The children of `update --all`: one process per unit, started from
// `program` with the arguments the parent gives (see Io::start_children);
// each child's output read by a thread of its own and handed to the loop line
// by line. A child ends with its parent (child_bound_to_parent).
class Children {
 public:
  Children(MainLoop& loop, std::string program) : loop_(loop), program_(std::move(program)) {}
  ~Children();
  size_t start(const std::vector<std::vector<std::string>>& children,
               std::function<void(size_t, const std::string&)> line, std::function<void(size_t, long)> ended,
               std::string& error);
  // Ends the children still running and waits for their readers: once it
  // returns, their last lines and ends are in the loop.
  void stop();

 private:
  MainLoop& loop_;
  const std::string program_;
  std::vector<pid_t> pids_;
  std::vector<std::thread> readers_;
};

// The exit status a parent reads from waitpid's status: the child's own, or
// 128 + the signal that ended it.
long child_exit_code(int wait_status);

// In a child of `update --all`: the kernel ends it when its parent ends, for
// any reason, and Ctrl+C at the terminal is the parent's to handle. False when
// the parent has ended already.
bool child_bound_to_parent();
// In the parent of `update --all`: Ctrl+C (SIGINT) or SIGTERM sets the flag
// that interrupted() reads; the main loop looks at it at least every 100 ms.
void catch_interrupts();
bool interrupted();

// This program's own file (/proc/self/exe).
std::string own_program();

}  // namespace mx::ctl
