// HID_Lib.dll over the virtual MX-540KTR: the library's loading code (DllShell)
// asks for its platform once, while the DLL loads, and gets a simulated bus with
// the virtual device already plugged.
#include "VirtualDevice.h"

#include <windows.h>

#include <string>

namespace {

// MX540_VIRTUAL_DIR from the process environment. Read through the Windows
// environment rather than the C runtime's copy, so that a host that sets it
// just before loading the library is heard. Under Wine a Unix path ("/tmp/x")
// arrives as it was written; drive Z: is Wine's view of the Unix root.
std::optional<std::filesystem::path> state_folder() {
  wchar_t buffer[4096];
  const DWORD n = GetEnvironmentVariableW(L"MX540_VIRTUAL_DIR", buffer, 4096);
  if (n == 0 || n >= 4096)
    return std::nullopt;
  std::wstring path(buffer, n);
  if (path[0] == L'/' && GetFileAttributesW(L"Z:\\") != INVALID_FILE_ATTRIBUTES)
    path = L"Z:" + path;
  return std::filesystem::path(path);
}

}  // namespace

namespace hidlib {

HidPlatform& dll_platform() {
  // Both live until the process ends and are never destroyed: the service
  // thread runs as long as the library's read thread does, and the library
  // is never unloaded.
  static SimPlatform* bus = new SimPlatform();
  static bool started = [] {
    auto device = std::make_shared<mxv::TVirtualMx540>(*bus, mxv::TVirtualOptions{state_folder()});
    device->start();
    new std::shared_ptr<mxv::TVirtualMx540>(device);  // keeps the service thread's object alive for good
    return true;
  }();
  (void)started;
  return *bus;
}

}  // namespace hidlib
