// panel_on_unit.exe FOLDER UNIT_DIR [SECONDS]
// panel_on_unit.exe --desktop
//
// The real MX_540KTR.exe against a real unit (in the test VM, under Wine: a
// USB HID gadget served by mx540_gadget, whose state and control folder is
// UNIT_DIR). Starts the program from FOLDER, which holds MX_540KTR.exe and
// no HID_Lib.dll (so the program writes out and loads its own real library),
// and operates it through its window: it connects, an edit reaches the unit,
// an unplug disables the window and a replug brings it back. One line per
// check ("ok - ..." or "FAIL - ..."); exit status: the number of failed
// checks. The program is left running, connected, for a screenshot; an
// earlier check failing skips those after it. SECONDS bounds each wait (90).
//
// --desktop holds Wine's desktop for the test's programs: makes a window,
// prints "desktop ready" (or "no window", status 1) and stays until killed.
// Wine's desktop process ends with the last program that has windows, and a
// program that starts it again gives up on windows for good when it is slow
// to come up (about 10 s, easily passed under emulation): such a program
// hears no device changes at all.
#include "uidriver.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace uidriver;

constexpr int src_at = 5;

int failed = 0;

bool check(const char* name, bool ok, const std::string& detail = {}) {
  std::printf("%s - %s\n", ok ? "ok" : "FAIL", name);
  if (!ok && !detail.empty()) std::printf("    %s\n", detail.c_str());
  std::fflush(stdout);
  failed += ok ? 0 : 1;
  return ok;
}

// The sequence number of the last frame the unit logged, and of the last
// read request (cmd_read) among them; -1: none.
struct Frames {
  long last = -1, last_read = -1;
};
Frames frames_of(const fs::path& unit) {
  std::ifstream in(unit / "frames.log");
  Frames frames;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("seq=", 0) != 0) continue;
    const long seq = std::strtol(line.c_str() + 4, nullptr, 10);
    frames.last = seq;
    if (line.find(" cmd=0x00 ") != std::string::npos) frames.last_read = seq;
  }
  return frames;
}
// The unit has taken a read request since `mark`.
bool read_since(const fs::path& unit, const Frames& mark) { return frames_of(unit).last_read > mark.last; }

struct Panel {
  HWND fmain = nullptr;
  HWND controls[7] = {};  // the panel, then src, gain, ref, delay, gpi delay, scale

  bool find(DWORD pid) {
    fmain = find_top_window(pid, fmain_class, nullptr, true);
    if (!fmain) return false;
    controls[0] = find_child(fmain, panel_class);
    if (!controls[0]) return false;
    const int ids[6] = {id_src, id_gain, id_ref, id_delay, id_delay_gpi, id_scale};
    for (int i = 0; i < 6; ++i)
      if (!(controls[i + 1] = find_child_by_id(controls[0], ids[i]))) return false;
    return true;
  }
  bool all(bool enabled) const {
    for (HWND c : controls)
      if ((IsWindowEnabled(c) != FALSE) != enabled) return false;
    return true;
  }
  // One plug brings several device-change messages, each a rescan that
  // disables and enables the window again: the state must hold a while.
  bool steady(bool enabled) const {
    if (!all(enabled)) return false;
    Sleep(500);
    return all(enabled);
  }
};

std::string state_of(const VirtualDevice& unit) {
  std::ostringstream text;
  for (const auto& [key, value] : unit.state())
    if (key == "present" || key == "mode" || key == "product" || key == "frames_received")
      text << key << '=' << value << ' ';
  return text.str();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && std::wstring(argv[1]) == L"--desktop") {
    HWND window = CreateWindowExW(0, L"STATIC", L"desktop", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    std::printf("%s\n", window ? "desktop ready" : "no window");
    std::fflush(stdout);
    if (!window) return 1;
    for (MSG msg; GetMessageW(&msg, nullptr, 0, 0) > 0;) DispatchMessageW(&msg);
    return 0;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: panel_on_unit FOLDER UNIT_DIR [SECONDS]\n");
    return 100;
  }
  const fs::path folder = argv[1];
  VirtualDevice unit(argv[2]);
  const milliseconds bound(1000 * (argc > 3 ? _wtoi(argv[3]) : 90));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" + (folder / "MX_540KTR.exe").wstring() + L"\"";
  const Frames started = frames_of(unit.dir());
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                      &process)) {
    check("the panel starts", false, "CreateProcess failed: " + std::to_string(GetLastError()));
    return failed;
  }
  Panel panel;
  if (!check("the panel starts", wait_until([&] { return panel.find(process.dwProcessId); }, bound)))
    return failed;

  if (!check("the panel connects: the unit sees its first read, every control enabled",
             wait_until([&] { return read_since(unit.dir(), started) && panel.steady(true); }, bound),
             "unit: " + state_of(unit)))
    return failed;

  // An edit: the active preset's source, another item of the list.
  const auto before = unit.settings();
  if (!before) {
    check("an edit in the window reaches the unit", false, "the unit keeps no settings.bin");
    return failed;
  }
  const int preset = (*before)[0] & 3;
  const int wanted = ((*before)[src_at + preset] + 3) % 8;
  choose_item(panel.controls[1], wanted);
  if (!check("an edit in the window reaches the unit",
             unit.wait_settings([&](const auto& s) { return s[src_at + preset] == wanted; }, bound),
             "source of preset " + std::to_string(preset + 1) + " should be " + std::to_string(wanted)))
    return failed;

  unit.command("unplug");
  if (!check("an unplug disables the window", wait_until([&] { return panel.steady(false); }, bound),
             "unit: " + state_of(unit)))
    return failed;

  const Frames unplugged = frames_of(unit.dir());
  unit.command("plug");
  check("a replug brings the window back: connected, the unit read again",
        wait_until([&] { return read_since(unit.dir(), unplugged) && panel.steady(true); }, bound) &&
            chosen_item(panel.controls[1]) == wanted,
        "source shown " +
            std::to_string(chosen_item(panel.controls[1])) + ", unit: " + state_of(unit));
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return failed;
}
