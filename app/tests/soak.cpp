// mx_soak.exe [MINUTES=30] [REPLUG_SECONDS=6] [UPDATE_MINUTES=5]
//
// A long run of the real MX_540KTR.exe against the virtual MX-540KTR (under
// Wine through tools/soak.sh): the device is unplugged and plugged back every
// few seconds, each connection gets one edit in the main window, and every few
// minutes a whole firmware update goes through the update dialog. It reports the
// program's handle count and private memory at the start and the end (and the
// highest seen), the polls the program missed, edits that did not reach the
// device, updates that failed, and every message box other than the update's
// success message. Exit status 0 when nothing was missed and no other box showed.
#include "uidriver.h"
#include "vnxu.h"

#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace uidriver;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int poll_ms = 2000;

struct Usage {
  DWORD handles = 0;
  SIZE_T private_bytes = 0;
};

Usage usage_of(DWORD pid) {
  Usage u;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!process) {
    std::printf("  OpenProcess(%lu) failed: %lu\n", pid, GetLastError());
    return u;
  }
  if (!GetProcessHandleCount(process, &u.handles)) std::printf("  GetProcessHandleCount failed: %lu\n", GetLastError());
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
    u.private_bytes = counters.PrivateUsage;
  else
    std::printf("  GetProcessMemoryInfo failed: %lu\n", GetLastError());
  CloseHandle(process);
  return u;
}

std::string narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

// The device's frames.log as lines.
std::vector<std::string> frames_log(const VirtualDevice& device) {
  std::string text;
  read_device_file(device.dir() / "frames.log", text);
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Device-clock times of the read requests in frames.log.
std::vector<long> read_times(const VirtualDevice& device) {
  std::vector<long> out;
  for (const std::string& line : frames_log(device)) {
    const auto c = line.find(" cmd=0x");
    const auto t = line.find(" t=");
    if (c == std::string::npos || t == std::string::npos || line.compare(c + 7, 2, "00") != 0) continue;
    if (line.find(" status=handled") == std::string::npos) continue;
    out.push_back(std::stol(line.substr(t + 3)));
  }
  return out;
}

class Soak {
 public:
  Soak() : app_(own_folder() / "soak") {}

  int run(double minutes, double replug_s, double update_minutes) {
    Bytes flash(8 * 1024), eeprom(256);
    std::mt19937 gen(5);
    for (auto& b : flash) b = static_cast<uint8_t>(gen());
    for (auto& b : eeprom) b = static_cast<uint8_t>(gen());
    update_file_ = app_.folder() / "soak.vnxu";
    const Bytes file = make_vnxu_file("MX-540KTR ", 2, 7, flash, eeprom);
    std::ofstream(update_file_, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));

    if (!app_.start()) {
      std::printf("soak: the program did not start\n");
      return 2;
    }
    if (!find_controls() || !wait_connected(milliseconds(20000))) {
      std::printf("soak: the main window never came up connected\n");
      return 2;
    }
    std::this_thread::sleep_for(milliseconds(5000));
    // Under Wine another process's handle count and private memory read as 0;
    // tools/soak.sh samples the program's Linux process meanwhile and takes
    // its start and end figures while this file says "running".
    std::ofstream(app_.folder() / "phase") << "running\n";
    const Usage first = usage_of(app_.pid());
    Usage highest = first;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(minutes * 60));
    auto next_update = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(update_minutes * 60));
    auto next_report = start + std::chrono::minutes(1);
    std::printf("soak: %.1f min, replug every %.1f s, update every %.1f min; start: %lu handles, %zu KiB private\n",
                minutes, replug_s, update_minutes, first.handles, first.private_bytes / 1024);
    std::fflush(stdout);

    while (Clock::now() < end && app_.running()) {
      if (Clock::now() >= next_update) {
        update();
        next_update += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(update_minutes * 60));
      } else {
        connection_cycle(milliseconds(static_cast<long>(replug_s * 1000)));
      }
      const Usage now = usage_of(app_.pid());
      highest.handles = std::max(highest.handles, now.handles);
      highest.private_bytes = std::max(highest.private_bytes, now.private_bytes);
      if (Clock::now() >= next_report) {
        next_report += std::chrono::minutes(1);
        std::printf("  %5.1f min: %lu handles, %zu KiB private; polls %d, missed %d; edits %d/%d; updates %d/%d; "
                    "other boxes %zu\n",
                    std::chrono::duration<double>(Clock::now() - start).count() / 60, now.handles,
                    now.private_bytes / 1024, polls_, missed_, edits_ok_, edits_, updates_ok_, updates_,
                    boxes_.size());
        std::fflush(stdout);
      }
    }
    const bool alive = app_.running();
    // The end figures once the last reconnection has settled, as at the start.
    wait_connected(milliseconds(20000));
    std::this_thread::sleep_for(milliseconds(5000));
    const Usage last = usage_of(app_.pid());
    std::ofstream(app_.folder() / "phase") << "ended\n";
    const double ran = std::chrono::duration<double>(Clock::now() - start).count() / 60;
    std::printf("soak result after %.1f min (%d replugs):\n", ran, replugs_);
    if (first.handles == 0 && last.handles == 0)
      std::printf("  handles and private memory: not readable from another process here (Wine reads 0)\n");
    std::printf("  handles (Windows count): start %lu, end %lu, highest %lu\n", first.handles, last.handles,
                std::max(highest.handles, last.handles));
    std::printf("  private memory (Windows count): start %zu KiB, end %zu KiB, highest %zu KiB\n",
                first.private_bytes / 1024, last.private_bytes / 1024,
                std::max(highest.private_bytes, last.private_bytes) / 1024);
    std::printf("  polls seen %d, missed %d\n", polls_, missed_);
    std::printf("  edits reaching the device: %d of %d\n", edits_ok_, edits_);
    std::printf("  updates completed: %d of %d\n", updates_ok_, updates_);
    std::printf("  expected boxes (update complete): %d; other boxes: %zu\n", expected_boxes_, boxes_.size());
    for (const auto& b : boxes_) std::printf("    box: %s\n", b.c_str());
    std::printf("  program %s\n", alive ? "still running" : "ENDED during the run");
    std::fflush(stdout);
    app_.stop();
    const bool clean = alive && missed_ == 0 && boxes_.empty() && edits_ok_ == edits_ && updates_ok_ == updates_;
    return clean ? 0 : 1;
  }

 private:
  bool find_controls() {
    wait_until([&] {
      HWND panel = find_child(app_.fmain(), panel_class);
      src_ = panel ? find_child_by_id(panel, id_src) : nullptr;
      return src_ != nullptr;
    });
    fu_ = app_.fu();
    wait_until([&] {
      select_ = find_child(fu_, L"Button", L"ВЫБРАТЬ ФАЙЛ");
      dev_name_ = find_child(fu_, L"Edit");
      return select_ && dev_name_;
    });
    return src_ && select_ && dev_name_;
  }

  bool connected() { return IsWindowEnabled(app_.fmain()) && IsWindowEnabled(src_); }

  // Connected and steady: one plug brings several device-change messages, each a rescan.
  bool wait_connected(milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    while (Clock::now() < until) {
      if (wait_until([&] { return connected(); }, milliseconds(500))) {
        std::this_thread::sleep_for(milliseconds(300));
        if (connected()) return true;
      }
      take_boxes();
    }
    return false;
  }

  // Every box the program shows now; none is expected outside an update.
  void take_boxes() {
    while (auto box = wait_message_box(app_.pid(), milliseconds(0))) {
      if (box->text.empty()) break;
      boxes_.push_back(narrow(box->caption) + ": " + narrow(box->text));
      answer_message_box(*box, IDOK);
    }
  }

  // One connection: clear the device's log, make one edit, let the polls run,
  // count them, then unplug and plug back.
  void connection_cycle(milliseconds length) {
    const auto began = Clock::now();
    if (!wait_connected(milliseconds(15000))) {
      boxes_.push_back("(not connected again within 15 s)");
      return;
    }
    // The device rewrites frames.log up to 20 ms after it ran the command, so
    // until then the file still holds the reads from before the clear.
    const auto old_reads = read_times(app_.device());
    const long last_old = old_reads.empty() ? -1 : old_reads.back();
    app_.device().command("clear-log");
    const auto cleared = Clock::now();
    // One edit of the active preset's SDI pair, just after a poll's answer has
    // been shown: the driver's choice is two messages (select, then notify),
    // and a refresh of the window between them would turn the edit back.
    wait_until(
        [&] {
          const auto reads = read_times(app_.device());
          return !reads.empty() && reads.front() > last_old;
        },
        milliseconds(3000));
    std::this_thread::sleep_for(milliseconds(300));
    const auto before = app_.device().settings();
    if (before) {
      const int preset = (*before)[0] % 4;
      const int value = ((*before)[5 + preset] + 1 + static_cast<int>(edits_ % 3)) % 8;
      ++edits_;
      const bool was_connected = connected();
      const int shown = chosen_item(src_);
      choose_item(src_, value);
      if (app_.device().wait_settings([&](const std::array<uint8_t, 29>& s) { return s[5 + preset] == value; },
                                      milliseconds(8000))) {
        ++edits_ok_;
      } else {
        const auto now = app_.device().settings();
        std::printf("  edit %d lost: preset %d src %d -> %d (window showed %d, %s); device now %d, window now %d\n",
                    edits_, preset, (*before)[5 + preset], value, shown, was_connected ? "connected" : "not connected",
                    now ? (*now)[5 + preset] : -1, chosen_item(src_));
        for (const std::string& line : frames_log(app_.device())) std::printf("    %s\n", line.substr(0, 90).c_str());
      }
    }
    take_boxes();
    const auto stay = length - std::chrono::duration_cast<milliseconds>(Clock::now() - began);
    if (stay > milliseconds(0)) std::this_thread::sleep_for(stay);
    take_boxes();
    count_polls(std::chrono::duration_cast<milliseconds>(Clock::now() - cleared));
    app_.device().command("replug 500");
    ++replugs_;
  }

  // Reads the program sent while connected: a gap of more than one and a half
  // intervals between two of them is a poll missed.
  void count_polls(milliseconds connected_for) {
    const auto reads = read_times(app_.device());
    polls_ += static_cast<int>(reads.size());
    int missed = 0;
    std::string gaps;
    for (size_t i = 1; i < reads.size(); ++i) {
      const long gap = reads[i] - reads[i - 1];
      if (gap > poll_ms * 3 / 2) {
        missed += static_cast<int>((gap + poll_ms / 2) / poll_ms) - 1;
        gaps += " " + std::to_string(gap) + " ms after read " + std::to_string(i);
      }
    }
    // Over a connection of two full intervals at least two reads must come.
    const int at_least = static_cast<int>(connected_for.count() / poll_ms);
    if (reads.size() < static_cast<size_t>(at_least)) missed = std::max(missed, at_least - static_cast<int>(reads.size()));
    if (missed > 0) {
      std::printf("  missed %d poll(s) in a connection of %.1f s: %zu reads;%s\n", missed,
                  connected_for.count() / 1000.0, reads.size(), gaps.empty() ? " too few" : gaps.c_str());
      for (const std::string& line : frames_log(app_.device())) std::printf("    %s\n", line.substr(0, 90).c_str());
    }
    missed_ += missed;
  }

  void update() {
    ++updates_;
    if (!wait_connected(milliseconds(15000))) {
      std::printf("  update %d: not connected\n", updates_);
      return;
    }
    PostMessageW(app_.fmain(), WM_COMMAND, MAKEWPARAM(menu_update_firmware, 0), 0);
    if (!wait_until([&] {
          return IsWindowVisible(fu_) && text_of(dev_name_).find(L"(boot)") != std::wstring::npos &&
                 IsWindowEnabled(select_);
        },
        milliseconds(20000))) {
      std::printf("  update %d: the device did not reach the boot loader\n", updates_);
      take_boxes();
      return;
    }
    PostMessageW(fu_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(select_), BN_CLICKED), reinterpret_cast<LPARAM>(select_));
    if (!answer_file_dialog(app_.pid(), update_file_.wstring())) {
      std::printf("  update %d: no file-open dialog\n", updates_);
      return;
    }
    std::optional<MessageBoxInfo> box;
    wait_until(
        [&] {
          box = wait_message_box(app_.pid(), milliseconds(0));
          return box && !box->text.empty();
        },
        milliseconds(60000));
    if (box && box->text == L"Обновление завершено успешно!") {
      ++expected_boxes_;
      answer_message_box(*box, IDOK);
      if (wait_until([&] { return !IsWindowVisible(fu_); }, milliseconds(10000)) && wait_connected(milliseconds(20000)))
        ++updates_ok_;
      else
        std::printf("  update %d: the program did not come back connected\n", updates_);
    } else if (box) {
      boxes_.push_back("during update: " + narrow(box->caption) + ": " + narrow(box->text));
      answer_message_box(*box, IDOK);
    } else {
      std::printf("  update %d: no message within 60 s\n", updates_);
    }
    take_boxes();
  }

  App app_;
  fs::path update_file_;
  HWND src_ = nullptr, fu_ = nullptr, select_ = nullptr, dev_name_ = nullptr;
  int polls_ = 0, missed_ = 0, edits_ = 0, edits_ok_ = 0, updates_ = 0, updates_ok_ = 0, replugs_ = 0;
  int expected_boxes_ = 0;
  std::vector<std::string> boxes_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const double minutes = argc > 1 ? _wtof(argv[1]) : 30;
  const double replug_s = argc > 2 ? _wtof(argv[2]) : 6;
  const double update_minutes = argc > 3 ? _wtof(argv[3]) : 5;
  if (minutes <= 0 || replug_s < 3 || update_minutes <= 0) {
    std::fprintf(stderr, "usage: mx_soak [MINUTES=30] [REPLUG_SECONDS>=3] [UPDATE_MINUTES]\n");
    return 2;
  }
  Soak soak;
  return soak.run(minutes, replug_s, update_minutes);
}
