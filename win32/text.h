// Text conversion at the Windows calls.
//
// The rule for text in this program: a std::string holds UTF-8, everywhere
// inside the program (the link, the windows' logic, the update dialog, error
// texts). Two other encodings appear only at the edges, and are converted here:
//   - UTF-16 (std::wstring, wchar_t) at the Windows calls (the W functions);
//   - the ANSI code page in the HID library's records (THIDString: paths and
//     the device's strings) and at the library's own A calls.
// One function per direction, the encodings in its name. Embedded NULs are
// kept; characters without a mapping become the target's default character
// (ANSI) or U+FFFD (UTF-8 input that is not UTF-8).
#pragma once

#include <string>
#include <string_view>

namespace win32 {

std::wstring utf8_to_wide(std::string_view text);
std::string wide_to_utf8(std::wstring_view text);

std::wstring ansi_to_wide(std::string_view text);
std::string wide_to_ansi(std::wstring_view text);

std::string utf8_to_ansi(std::string_view text);
std::string ansi_to_utf8(std::string_view text);

}  // namespace win32
