// The accessible object (MSAA IAccessible, which UI Automation reads through
// its bridge) of a THSButtonHost's client area: the window's standard client
// object, with the host's window-less buttons as its children. THSButtonHost
// answers WM_GETOBJECT with it; nothing else needs to include this header.
#pragma once

#include <windows.h>
#include <oleacc.h>

namespace hs {

class THSButtonHost;

// IAccessible's interface id. MinGW's import library resolves IID_IAccessible
// to an import thunk rather than the GUID, and every call given it fails.
inline constexpr IID IID_IAccessible_value{0x618736E0, 0x3C3D, 0x11CF, {0x81, 0x0C, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// A new accessible object over host, with one reference for the caller.
IAccessible* CreateButtonAccessible(THSButtonHost* host);
// The host is going away: the object (which clients may still hold) forgets
// it, answers every later call with CO_E_OBJNOTCONNECTED, and the caller's
// reference is released.
void DisconnectButtonAccessible(IAccessible* object);

}  // namespace hs
