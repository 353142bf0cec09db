// The Windows side of TLinkPlatform: the program's RCDATA resource "HID", the
// library file in the current folder, loading it by full path, and the ANSI
// text of the library's records.
#include "USB.h"
#include "win32/handles.h"
#include "win32/text.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using win32::utf8_to_wide;
using win32::wide_to_utf8;

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
  return wide_to_utf8(message);
}

class TWin32LinkPlatform final : public TLinkPlatform {
 public:
  bool has_file(const std::string& name) const override {
    const DWORD attributes = GetFileAttributesW(utf8_to_wide(name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  bool read_resource(std::vector<uint8_t>& bytes) const override {
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

  void create_file(const std::string& name, const std::vector<uint8_t>& bytes) const override {
    const std::wstring path = utf8_to_wide(name);
    // CREATE_NEW: a file that appeared meanwhile is never replaced.
    win32::THandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
      throw std::runtime_error(system_error_text(GetLastError()));
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
      DWORD written = 0;
      if (!WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) {
        const DWORD error = GetLastError();
        file.reset();
        // A cut-off library left behind would be used as it is at every later start.
        DeleteFileW(path.c_str());
        throw std::runtime_error(system_error_text(error));
      }
      done += written;
    }
  }

  std::string path_of(const std::string& name) const override {
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
    return wide_to_utf8(folder + utf8_to_wide(name));
  }

  void* load(const std::string& path) const override {
    // The file as checked or written, not whatever the search order finds
    // first. The link keeps it loaded for the life of the process.
    return reinterpret_cast<void*>(LoadLibraryW(utf8_to_wide(path).c_str()));
  }

  void* entry(void* library, const char* name) const override {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
  }

  std::string record_text(const THIDString& field) const override { return win32::ansi_to_utf8(hid_text(field)); }
};

}  // namespace

namespace {
std::shared_ptr<const TLinkPlatform> process_platform() {
  static const auto platform = std::make_shared<const TWin32LinkPlatform>();
  return platform;
}
}  // namespace

const TLinkPlatform& link_win32_platform() { return *process_platform(); }

void link_use_win32_platform() { link_set_platform(process_platform()); }
