#include "win32/text.h"

#include <windows.h>

#include <climits>

namespace win32 {

namespace {

std::wstring to_wide(UINT code_page, std::string_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(code_page, 0, text.data(), size, out.data(), n);
  return out;
}

std::string from_wide(UINT code_page, std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  const int size = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(code_page, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(code_page, 0, text.data(), size, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring utf8_to_wide(std::string_view text) { return to_wide(CP_UTF8, text); }
std::string wide_to_utf8(std::wstring_view text) { return from_wide(CP_UTF8, text); }

std::wstring ansi_to_wide(std::string_view text) { return to_wide(CP_ACP, text); }
std::string wide_to_ansi(std::wstring_view text) { return from_wide(CP_ACP, text); }

std::string utf8_to_ansi(std::string_view text) { return wide_to_ansi(utf8_to_wide(text)); }
std::string ansi_to_utf8(std::string_view text) { return wide_to_utf8(ansi_to_wide(text)); }

}  // namespace win32
