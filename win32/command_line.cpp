#include "win32/command_line.h"

namespace win32 {

std::wstring quoted_argument(std::wstring_view argument) {
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a '"' follows them: then each stands
    // for two, and one more escapes the quote.
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  // Before the closing quote they are doubled too.
  out.append(2 * backslashes, L'\\');
  out += L'"';
  return out;
}

std::wstring command_line(std::wstring_view program, const std::vector<std::wstring>& arguments) {
  std::wstring line = L"\"" + std::wstring(program) + L"\"";
  for (const std::wstring& argument : arguments)
    line += L" " + quoted_argument(argument);
  return line;
}

}  // namespace win32
