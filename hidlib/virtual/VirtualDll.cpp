// HID_Lib.dll over the virtual MX-540KTR: the library's loading code (DllShell)
// asks for its platform once, while the DLL loads, and gets a simulated bus with
// the virtual device already plugged.
#include "VirtualDevice.h"

namespace hidlib {

HidPlatform& dll_platform() {
  // Both live until the process ends and are never destroyed: the service
  // thread runs as long as the library's read thread does, and the library
  // is never unloaded.
  static SimPlatform* bus = new SimPlatform();
  static bool started = [] {
    auto device = std::make_shared<mxv::TVirtualMx540>(*bus, mxv::TVirtualOptions{mxv::folder_from_environment()});
    device->start();
    new std::shared_ptr<mxv::TVirtualMx540>(device);  // keeps the service thread's object alive for good
    return true;
  }();
  (void)started;
  return *bus;
}

}  // namespace hidlib
