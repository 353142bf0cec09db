#include "Children.h"

#include "ExitStatus.h"
#include "win32/command_line.h"
#include "win32/text.h"

namespace mx::ctl {

namespace {

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

std::string system_text(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n && text ? std::wstring(text, n) : L"error " + std::to_wstring(code);
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
    message.pop_back();
  return win32::wide_to_utf8(message);
}

}  // namespace

Children::~Children() {
  stop();
  if (job_) CloseHandle(job_);
}

bool Children::make_job(std::string& error) {
  if (job_) return true;
  // Closing the job's last handle (this process ending, however it ends)
  // ends every process in it.
  job_ = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!job_ || !SetInformationJobObject(job_, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    error = "no job object to bind them to this process: " + system_text(GetLastError());
    if (job_) CloseHandle(job_);
    job_ = nullptr;
    return false;
  }
  return true;
}

size_t Children::start(const std::vector<std::vector<std::string>>& children,
                       std::function<void(size_t, const std::string&)> line, std::function<void(size_t, long)> ended,
                       std::string& error) {
  if (!make_job(error)) return 0;
  const std::wstring program = own_path();
  for (size_t i = 0; i < children.size(); ++i) {
    std::vector<std::wstring> arguments;
    for (const std::string& a : children[i]) arguments.push_back(win32::utf8_to_wide(a));
    std::wstring command = win32::command_line(program, arguments);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
      error = system_text(GetLastError());
      return i;
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write_end;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    // Suspended until it is in the job: it runs no code outside it.
    const BOOL created = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                                        nullptr, &si, &pi);
    const DWORD create_error = GetLastError();
    // The write end lives in the child alone: the pipe ends with the child.
    CloseHandle(write_end);
    if (!created) {
      CloseHandle(read_end);
      error = system_text(create_error);
      return i;
    }
    if (!AssignProcessToJobObject(job_, pi.hProcess)) {
      error = "it could not be bound to this process: " + system_text(GetLastError());
      TerminateProcess(pi.hProcess, exit_code(Status::device_failed));
      WaitForSingleObject(pi.hProcess, 5000);
      CloseHandle(pi.hThread);
      CloseHandle(pi.hProcess);
      CloseHandle(read_end);
      return i;
    }
    ResumeThread(pi.hThread);
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
      // The pipe ends when the child does (or closes its output, and is
      // ended by stop() if it lingers).
      WaitForSingleObject(process, INFINITE);
      DWORD code = 0;
      GetExitCodeProcess(process, &code);
      loop_.post([ended, i, code] { ended(i, static_cast<long>(code)); });
    });
  }
  return children.size();
}

void Children::stop() {
  if (job_) TerminateJobObject(job_, exit_code(Status::device_failed));
  // Also when the job would not end them.
  for (HANDLE p : processes_) TerminateProcess(p, exit_code(Status::device_failed));
  for (std::thread& reader : readers_)
    if (reader.joinable()) reader.join();
  readers_.clear();
  for (HANDLE p : processes_) CloseHandle(p);
  processes_.clear();
}

}  // namespace mx::ctl
