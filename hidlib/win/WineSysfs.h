// What the Win32 platform needs to know of Wine when it runs under it: whether
// it does, and the Linux file system's sysfs as Wine maps it into the
// Windows name space (WineStrings.h says what for).
#pragma once

#include "WineStrings.h"

namespace hidlib {

// True under Wine (its ntdll exports wine_get_version); false on Windows.
bool running_under_wine();

// The sysfs view through Wine's path mapping (the Unix root is drive Z: in
// a default prefix; Wine's kernel32 says where it really is). Every call
// fails (nullopt) outside Wine.
wine::SysfsView& wine_sysfs();

}  // namespace hidlib
