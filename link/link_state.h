// The process-wide link and its parts, shared by the link's operations
// (USB.cpp) and discovery (discovery.cpp).
#pragma once

#include "USB.h"
#include "mailbox.h"
#include "unit_lock.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mx::link {

// How long a unit that re-enumerates on the link's command keeps its place:
// the boot loader and the firmware come back well within it.
constexpr auto returning_time = std::chrono::seconds(30);

// The process-wide link: its parts, and what the program gave it.
struct TLink {
  TSettingsRecord settings;
  TDevice device;
  TMailbox mailbox{settings, [this](uint8_t cmd, const std::vector<uint8_t>& payload,
                                    std::optional<uint64_t> connection) {
                     return send(cmd, payload.data(), payload.size(), connection);
                   }};
  // Used by on_report only, on the library's read thread.
  TFrameAssembler rx_buffer{TMarkKind::end_mark};

  mutable std::mutex lock;  // host, platform, binding state
  std::shared_ptr<LinkHost> host;
  std::shared_ptr<const TLinkPlatform> platform;
  bool init_attempted = false;
  bool init_result = false;

  // Sharing units (under `lock`).
  std::shared_ptr<TUnitLocks> locks;
  std::string chosen_serial;  // empty: the first unit this process can take
  std::string chosen_path;    // empty: any path
  std::string held_serial;    // the key (unit_key.h) of the unit whose lock the link holds
  std::vector<TUnitSeen> seen;
  // Until then a unit that left on the link's own command (boot request, finish,
  // close of the boot loader) is expected back, and discovery binds no other.
  std::optional<std::chrono::steady_clock::time_point> returning_until;

  // How long a waiting poster waits for its frame to go out, and what it
  // does meanwhile (under `lock`).
  std::chrono::milliseconds send_bound{15000};
  std::function<void()> while_waiting;

  // Discovery passes started and ended (under `lock`; `rescanned` told at
  // each end). An update frame that met its unit closed by a pass is sent
  // again when the pass opened the same unit again.
  uint64_t rescans_started = 0, rescans_ended = 0;
  size_t frames_waiting_for_pass = 0;
  std::condition_variable rescanned;

  TLink() {
    settings.set_wake([this] { mailbox.wake(); });
    device.set_on_give_up([this] { mailbox.replace_worker(); });
  }

  // Called outside the lock: a host or platform set meanwhile takes over at
  // the next call, the one in use stays alive until its call returns.
  std::shared_ptr<LinkHost> current_host() const {
    std::lock_guard guard(lock);
    return host;
  }
  std::shared_ptr<const TLinkPlatform> current_platform() const {
    std::lock_guard guard(lock);
    return platform;
  }
  void show_error(const std::string& text) const {
    if (auto h = current_host())
      h->report_error(text);
  }

  bool send(uint8_t cmd, const uint8_t* data, size_t len, std::optional<uint64_t> connection);
  // A post that waits for its send, within send_bound. A frame that could not
  // be sent by then means the unit hangs a report call: its connection is
  // given up and discovery runs again on the main thread.
  // `again_after_a_pass` (update frames: erase, flash and EEPROM blocks):
  // a frame that met its unit closed by a discovery pass (a device change,
  // often another unit's) goes again once the pass opened the same unit in
  // the same mode again, within the same bound.
  bool post_and_wait(const TRequest& request, bool again_after_a_pass = false);
  void give_up_connection();
  // After a reply to cmd_read: the main window shows the record. One refresh
  // at most is on its way to the main thread.
  void request_refresh();
  void dispatch_reply(const TFrame& frame);
};

// The one link of the process (never destroyed).
TLink& L();

}  // namespace mx::link
