// The Win32 HID platform: SetupApi enumeration, hid.dll queries and
// control-path calls, overlapped reads and writes.
#pragma once

#include "HidPlatform.h"

#include <memory>

namespace hidlib {
std::unique_ptr<HidPlatform> make_win32_platform();
}  // namespace hidlib
