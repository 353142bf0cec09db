#include "WineSysfs.h"

#include "win32/handles.h"
#include "win32/text.h"

#include <windows.h>

namespace hidlib {

namespace {

// Wine's own exports of kernel32: Unix path to Windows path and back, each
// result allocated on the process heap.
using ToDosName = WCHAR*(CDECL*)(const char*);
using ToUnixName = char*(CDECL*)(const WCHAR*);

// A file's text is short in sysfs (one page at most); more is never read.
constexpr DWORD kMaxFileBytes = 64 * 1024;

class WineSysfsView final : public wine::SysfsView {
 public:
  WineSysfsView() {
    if (!running_under_wine()) return;
    if (HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll")) {
      to_dos_ = reinterpret_cast<ToDosName>(reinterpret_cast<void*>(GetProcAddress(kernel32, "wine_get_dos_file_name")));
      to_unix_ = reinterpret_cast<ToUnixName>(reinterpret_cast<void*>(GetProcAddress(kernel32, "wine_get_unix_file_name")));
    }
  }

  std::optional<std::vector<std::string>> list(const std::string& dir) override {
    const auto windows = windows_path(dir);
    if (!windows) return std::nullopt;
    WIN32_FIND_DATAW entry{};
    const HANDLE find = FindFirstFileW((*windows + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<std::string> names;
    do {
      const std::wstring_view name(entry.cFileName);
      if (name != L"." && name != L"..") names.push_back(win32::wide_to_utf8(name));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
  }

  std::optional<std::string> read(const std::string& file) override {
    const auto windows = windows_path(file);
    if (!windows) return std::nullopt;
    const win32::THandle handle(CreateFileW(windows->c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle) return std::nullopt;
    // sysfs gives each attribute's size as a page whatever its text: read
    // until the end instead.
    std::string text;
    char buffer[4096];
    while (text.size() < kMaxFileBytes) {
      DWORD got = 0;
      if (!ReadFile(handle.get(), buffer, sizeof buffer, &got, nullptr)) {
        if (text.empty()) return std::nullopt;
        break;
      }
      if (got == 0) break;
      text.append(buffer, got);
    }
    return text;
  }

  std::optional<std::string> real_path(const std::string& path) override {
    const auto windows = windows_path(path);
    if (!windows || !to_unix_) return std::nullopt;
    // Wine resolves ".." in a path by its text, so a folder's parent behind a
    // link is found from the link's target, which the final path gives.
    const win32::THandle handle(CreateFileW(windows->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle) return std::nullopt;
    std::wstring final(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle.get(), final.data(), static_cast<DWORD>(final.size()), 0);
    if (length >= final.size()) {
      final.resize(length + 1);
      length = GetFinalPathNameByHandleW(handle.get(), final.data(), static_cast<DWORD>(final.size()), 0);
    }
    if (length == 0 || length >= final.size()) return std::nullopt;
    final.resize(length);
    char* unix_name = to_unix_(final.c_str());
    if (!unix_name) return std::nullopt;
    std::string out(unix_name);
    HeapFree(GetProcessHeap(), 0, unix_name);
    return out;
  }

 private:
  std::optional<std::wstring> windows_path(const std::string& unix_path) const {
    if (!to_dos_) return std::nullopt;
    WCHAR* name = to_dos_(unix_path.c_str());
    if (!name) return std::nullopt;
    std::wstring out(name);
    HeapFree(GetProcessHeap(), 0, name);
    return out;
  }

  ToDosName to_dos_ = nullptr;
  ToUnixName to_unix_ = nullptr;
};

}  // namespace

bool running_under_wine() {
  static const bool wine = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

wine::SysfsView& wine_sysfs() {
  static WineSysfsView view;
  return view;
}

}  // namespace hidlib
