// HID_Lib.dll proper runs on the Win32 platform.
#include "Win32Platform.h"

namespace hidlib {

HidPlatform& dll_platform() {
  static const std::unique_ptr<HidPlatform> platform = make_win32_platform();
  return *platform;
}

}  // namespace hidlib
