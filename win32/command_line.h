// Command lines for child processes, written so that CommandLineToArgvW and
// the C runtime's argument parser split them back into exactly the arguments
// given, whatever those hold (blanks, quotes, backslashes, a leading '-').
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace win32 {

// One argument: in quotes; every '"' escaped with a backslash, and the
// backslashes that come before a '"' or before the closing quote doubled.
std::wstring quoted_argument(std::wstring_view argument);

// The program's path in quotes (a path never holds a '"'), then each argument.
std::wstring command_line(std::wstring_view program, const std::vector<std::wstring>& arguments);

}  // namespace win32
