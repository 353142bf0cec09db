// mx540ctl.exe: the Windows console program around the portable commands.
// Arguments and names are UTF-16 here and UTF-8 inside; the HID library is
// bound the way MX_540KTR.exe binds it (its own resource written out as
// HID_Lib.dll when the current folder has none, loaded by full path), and the
// units are shared with the panel through the per-unit locks.
#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

std::wstring own_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

std::wstring quoted(const std::wstring& arg) { return L"\"" + arg + L"\""; }

// The children of `update --all`: one process per unit, its output read by a
// thread of its own and handed to the main loop line by line.
class Children {
 public:
  explicit Children(MainLoop& loop) : loop_(loop) {}
  ~Children() {
    for (auto& r : readers_)
      if (r.joinable()) r.detach();
  }

  bool start(const std::vector<std::string>& serials, const std::string& file,
             std::function<void(size_t, const std::string&)> line, std::function<void(size_t, long)> ended) {
    for (size_t i = 0; i < serials.size(); ++i) {
      SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
      HANDLE read_end = nullptr, write_end = nullptr;
      if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return false;
      SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
      STARTUPINFOW si{};
      si.cb = sizeof si;
      si.dwFlags = STARTF_USESTDHANDLES;
      si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
      si.hStdOutput = write_end;
      si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
      std::wstring command = quoted(own_path()) + L" update " + quoted(win32::utf8_to_wide(file)) + L" --serial " +
                             quoted(win32::utf8_to_wide(serials[i])) + L" --child";
      PROCESS_INFORMATION pi{};
      const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
      CloseHandle(write_end);
      if (!started) {
        CloseHandle(read_end);
        return false;
      }
      CloseHandle(pi.hThread);
      processes_.push_back(pi.hProcess);
      readers_.emplace_back([this, i, read_end, process = pi.hProcess, line, ended] {
        std::string pending;
        char buffer[512];
        DWORD got = 0;
        while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) {
          pending.append(buffer, got);
          for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string text = pending.substr(0, end);
            pending.erase(0, end + 1);
            loop_.post([line, i, text] { line(i, text); });
          }
        }
        CloseHandle(read_end);
        WaitForSingleObject(process, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        loop_.post([ended, i, code] { ended(i, static_cast<long>(code)); });
      });
    }
    return true;
  }

  void stop() {
    for (HANDLE p : processes_) TerminateProcess(p, exit_code(Status::timed_out));
  }

 private:
  MainLoop& loop_;
  std::vector<HANDLE> processes_;
  std::vector<std::thread> readers_;
};

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

  Children children(loop);
  Io io;
  io.out = [](const std::string& text) { write_to(stdout, text); };
  io.err = [](const std::string& text) { write_to(stderr, text); };
  io.console = console_out;
  io.start_children = [&](const std::vector<std::string>& serials, const std::string& file,
                          std::function<void(size_t, const std::string&)> line, std::function<void(size_t, long)> ended) {
    return children.start(serials, file, std::move(line), std::move(ended));
  };
  io.stop_children = [&] { children.stop(); };

  const Status status = run_command(options, session, loop, io);
  session.stop();
  return exit_code(status);
}
