// The Windows side of TLinkPlatform: the program's RCDATA resource "HID", the
// library file in the current folder, and loading it by full path.
#include "USB.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace {

std::wstring widen(const std::string& s) {
  if (s.empty())
    return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string narrow(const std::wstring& s) {
  if (s.empty())
    return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// The system's own wording for an error code, in the user's language.
std::string system_error_text(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = n && text ? std::wstring(text, n) : std::wstring();
  if (text)
    LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
    message.pop_back();
  if (message.empty())
    message = L"System error " + std::to_wstring(code);
  return narrow(message);
}

bool file_exists(const std::string& name) {
  const DWORD attributes = GetFileAttributesW(widen(name).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool read_own_resource(std::vector<uint8_t>& bytes) {
  HRSRC resource = FindResourceW(nullptr, L"HID", RT_RCDATA);
  if (!resource)
    return false;
  const DWORD size = SizeofResource(nullptr, resource);
  HGLOBAL loaded = LoadResource(nullptr, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data)
    return false;
  const auto* begin = static_cast<const uint8_t*>(data);
  bytes.assign(begin, begin + size);
  return true;
}

struct THandle {
  HANDLE h;
  ~THandle() {
    if (h != INVALID_HANDLE_VALUE)
      CloseHandle(h);
  }
};

void write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::wstring path = widen(name);
  // CREATE_NEW: a file that appeared meanwhile is never replaced.
  THandle file{CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE)
    throw std::runtime_error(system_error_text(GetLastError()));
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file.h, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
      const DWORD error = GetLastError();
      CloseHandle(file.h);
      file.h = INVALID_HANDLE_VALUE;
      // A cut-off library left behind would be used as it is at every later start.
      DeleteFileW(path.c_str());
      throw std::runtime_error(system_error_text(error));
    }
    done += written;
  }
}

std::string full_path(const std::string& name) {
  const DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0)
    return {};
  std::wstring folder(n, L'\0');
  const DWORD used = GetCurrentDirectoryW(n, folder.data());
  if (used == 0 || used >= n)
    return {};
  folder.resize(used);
  if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
    folder += L'\\';
  return narrow(folder + widen(name));
}

void* load_library(const std::string& path) {
  // The file as checked or written, not whatever the search order finds first.
  return reinterpret_cast<void*>(LoadLibraryW(widen(path).c_str()));
}

void* resolve(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace

TLinkPlatform link_win32_platform() {
  TLinkPlatform p;
  p.file_exists = file_exists;
  p.read_own_resource = read_own_resource;
  p.write_file = write_file;
  p.full_path = full_path;
  p.load_library = load_library;
  p.resolve = resolve;
  return p;
}

void link_use_win32_platform() { link_set_platform(link_win32_platform()); }
