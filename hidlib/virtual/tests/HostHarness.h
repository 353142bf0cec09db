// A host of the HID library's exports for tests of the virtual device: it
// registers a report handler that puts the input reports back into frames (as
// the control panel's link does) and a device-change handler that counts calls,
// and offers the few moves a host makes: scan, open the VORNIX device, send a
// frame, wait for a reply.
#pragma once

#include "HIDinterface.h"
#include "HidExports.h"
#include "frame.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace mxv::hostside {


class THostHarness {
 public:
  using clock = std::chrono::steady_clock;

  THostHarness() {
    {
      std::lock_guard lock(state().mutex);
      state().reset();
    }
    HIDsetEventHandler(&THostHarness::on_report);
    USBsetEventHandler(&THostHarness::on_device_change);
  }
  ~THostHarness() {
    HIDsetEventHandler(nullptr);
    USBsetEventHandler(nullptr);
    HIDcloseDevice();
  }

  // Index of the first device whose manufacturer is "VORNIX" after a fresh
  // scan, -1 when there is none; `info` gets its record.
  static int find_vornix(THIDDeviceInfo* info = nullptr) {
    const uint8_t count = HIDscanForDevices();
    for (uint8_t i = 0; i < count; ++i) {
      THIDDeviceInfo record;
      HIDGetDeviceInfo(i, &record);
      if (hid_text(record.Manufacturer) == "VORNIX") {
        if (info)
          *info = record;
        return i;
      }
    }
    return -1;
  }

  // Closes, scans and opens the VORNIX device, as the control panel's rescan does.
  static bool open_vornix(THIDDeviceInfo* info = nullptr) {
    HIDcloseDevice();
    const int index = find_vornix(info);
    return index >= 0 && HIDopenDevice(static_cast<uint8_t>(index)) != 0;
  }

  // Sends one frame report by report through HIDSetOutputReport; true when
  // every report was delivered.
  static bool send(uint8_t cmd, const std::vector<uint8_t>& payload = {}) {
    bool all = true;
    for (auto report : cut_frame(build_frame(cmd, payload.data(), payload.size()), TMarkKind::total))
      all = HIDSetOutputReport(report.data()) != 0 && all;
    return all;
  }

  // Waits for a good reply frame with code `cmd`; frames with other codes
  // that arrive meanwhile are dropped.
  std::optional<TFrame> reply(uint8_t cmd, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
    std::unique_lock lock(state().mutex);
    const auto deadline = clock::now() + timeout;
    for (;;) {
      auto& frames = state().frames;
      for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].cmd == cmd) {
          TFrame frame = frames[i];
          frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(i) + 1);
          return frame;
        }
      }
      if (state().wake.wait_until(lock, deadline) == std::cv_status::timeout)
        return std::nullopt;
    }
  }

  int bad_frames() {
    std::lock_guard lock(state().mutex);
    return state().bad;
  }
  int reports_received() {
    std::lock_guard lock(state().mutex);
    return state().reports;
  }
  int device_changes() {
    std::lock_guard lock(state().mutex);
    return state().device_changes;
  }

  // Runs `pump` (the host's message dispatching) until `done` holds or the time is up.
  static bool wait_until(const std::function<bool()>& done, const std::function<void()>& pump,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto deadline = clock::now() + timeout;
    while (!done()) {
      if (clock::now() > deadline)
        return false;
      pump();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

 private:
  struct TState {
    std::mutex mutex;
    std::condition_variable wake;
    TFrameAssembler assembler{TMarkKind::end_mark};
    std::vector<TFrame> frames;
    int bad = 0;
    int reports = 0;
    int device_changes = 0;

    void reset() {
      assembler.clear();
      frames.clear();
      bad = reports = device_changes = 0;
    }
  };
  static TState& state() {
    static TState s;
    return s;
  }

  static void HIDAPI_CALL on_report(THIDReport report, uint8_t) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    ++s.reports;
    TFrame frame;
    switch (s.assembler.feed(reinterpret_cast<const uint8_t*>(&report), sizeof report, frame)) {
      case TFrameAssembler::TFeed::good: s.frames.push_back(frame); break;
      case TFrameAssembler::TFeed::bad: ++s.bad; break;
      case TFrameAssembler::TFeed::partial: break;
    }
    s.wake.notify_all();
  }

  static void HIDAPI_CALL on_device_change() {
    std::lock_guard lock(state().mutex);
    ++state().device_changes;
  }
};

}  // namespace mxv::hostside
