// mx540ctl.exe: the Windows console program around the portable commands.
// Arguments and names are UTF-16 here and UTF-8 inside; the HID library is
// bound the way MX_540KTR.exe binds it (its own resource written out as
// HID_Lib.dll when the current folder has none, loaded by full path), and the
// units are shared with the panel through the per-unit locks.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Children.h"
#include "Commands.h"
#include "CommandLine.h"
#include "MainLoop.h"
#include "Session.h"
#include "USB.h"
#include "win32/text.h"

namespace {

using namespace mx::ctl;

void write_to(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// The main thread sleeps in MsgWaitForMultipleObjects: the HID library's
// device-change window belongs to this thread, and its messages (the unit
// leaving for its boot loader and coming back) run rescan from here.
class Win32Sleeper : public Sleeper {
 public:
  Win32Sleeper() : event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
  ~Win32Sleeper() override { CloseHandle(event_); }
  void sleep(std::chrono::milliseconds at_most) override {
    MsgWaitForMultipleObjectsEx(1, &event_, static_cast<DWORD>(at_most.count()), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  void wake() override { SetEvent(event_); }

 private:
  HANDLE event_;
};

bool under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine 8's HID bus loses units that re-enumerate at the same moment (a new
// hidraw node that takes the name of one whose removal it has not yet
// handled is removed with it), which `update --all` does to every unit at
// once: under Wine every mx540ctl takes its turn, a mutex of the session,
// for each re-enumeration. The wait keeps the main thread's messages
// running, the device-change window's among them; the mutex is released on
// this thread, which took it.
Session::TurnHolder take_reenumeration_turn(HANDLE mutex, Clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return nullptr;
    const DWORD got = MsgWaitForMultipleObjectsEx(1, &mutex, static_cast<DWORD>(left), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED_0)
      return Session::TurnHolder(mutex, [](void* held) { ReleaseMutex(static_cast<HANDLE>(held)); });
    if (got != WAIT_OBJECT_0 + 1) return nullptr;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

// Ctrl+C (or Ctrl+Break) while `update --all` runs: the main loop ends the
// children and says where each unit was left. The handler runs on a thread
// of its own.
std::atomic<bool> interrupted{false};
std::atomic<MainLoop*> interrupted_loop{nullptr};

BOOL WINAPI on_console_break(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing: the job ends the children
  interrupted = true;
  if (MainLoop* loop = interrupted_loop.load()) loop->notify();
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(win32::wide_to_utf8(argv[i]));

  const bool console_out = [] {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
  }();
  if (console_out) SetConsoleOutputCP(CP_UTF8);

  const ParsedCommandLine parsed = parse_command_line(args);
  write_to(stdout, parsed.out);
  write_to(stderr, parsed.err);
  if (!parsed.options) return parsed.exit_code;
  const Options& options = *parsed.options;

  MainLoop loop(std::make_unique<Win32Sleeper>());
  Session session(loop);
  session.install([&](const std::string& text) { write_to(stderr, text + "\n"); });
  link_use_win32_platform();
  link_set_unit_locks(link_win32_unit_locks());
  if (under_wine()) {
    // Kept open for the process's life; the system closes it at the end.
    if (HANDLE turn = CreateMutexW(nullptr, FALSE, L"Local\\MX-540KTR re-enumeration"))
      session.set_reenumeration_turn([turn](Clock::time_point until) { return take_reenumeration_turn(turn, until); });
  }

  if (options.child) {
    // The parent decides what Ctrl+C does to its children (they share its console).
    SetConsoleCtrlHandler(nullptr, TRUE);
  } else if (options.command == Command::update && options.all) {
    interrupted_loop = &loop;
    SetConsoleCtrlHandler(on_console_break, TRUE);
  }

  Children children(loop);
  Io io;
  io.out = [](const std::string& text) { write_to(stdout, text); };
  io.err = [](const std::string& text) { write_to(stderr, text); };
  io.console = console_out;
  io.start_children = [&](const std::vector<std::vector<std::string>>& args,
                          std::function<void(size_t, const std::string&)> line, std::function<void(size_t, long)> ended,
                          std::string& error) { return children.start(args, std::move(line), std::move(ended), error); };
  io.stop_children = [&] { children.stop(); };
  io.interrupted = [] { return interrupted.load(); };

  const Status status = run_command(options, session, loop, io);
  session.stop();
  children.stop();
  SetConsoleCtrlHandler(on_console_break, FALSE);
  return exit_code(status);
}
