// What loading HID_Lib.dll sets up, on the loading thread: the process's
// library over the build's platform and the hidden device-change window
// (TUSBhandler, window class TPUtilWindow). The read thread (THIDthread)
// starts when the host first uses the library.
#include "HidLibrary.h"
#include "HidPlatform.h"
#include "win32/handles.h"

#include <windows.h>
#include <dbt.h>

namespace hidlib {
namespace {

HMODULE this_module = nullptr;

// The HID device interface class (GUID_DEVINTERFACE_HID).
constexpr GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Owns the hidden top-level window that receives the system's device-change
// broadcasts. It is not a message-only window: those get no broadcasts.
//
// The broadcast (DBT_DEVNODES_CHANGED) comes before a new HID interface is
// announced: under Wine 8 (hidraw devices, udevd running) it reached every
// top-level window 15 ms to 1 s before the interface's DBT_DEVICEARRIVAL, so
// a rescan at the broadcast alone can look too early and miss a unit coming
// back from its boot loader. The window therefore also registers for the HID
// interface class's own arrival and removal (DBT_DEVICEARRIVAL,
// DBT_DEVICEREMOVECOMPLETE), each a rescan as well.
class TUSBhandler {
 public:
  static constexpr const char* kClassName = "TPUtilWindow";

  bool create() {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = &TUSBhandler::window_proc;
    window_class.hInstance = this_module;
    window_class.lpszClassName = kClassName;
    RegisterClassA(&window_class);
    window_ = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                              this_module, nullptr);
    return window_ != nullptr;
  }

  // Not while the library loads: the registration talks to the system's
  // device manager, which must not be waited for under the loader lock.
  void register_for_hid_interfaces() {
    if (window_ == nullptr || notification_ != nullptr) return;
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kHidInterfaceClass;
    // Failing, the broadcasts still come.
    notification_ = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  void destroy() {
    if (notification_ != nullptr) UnregisterDeviceNotification(notification_);
    notification_ = nullptr;
    if (window_ != nullptr) DestroyWindow(window_);
    window_ = nullptr;
  }

  HWND window() const { return window_; }

 private:
  static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_DEVICECHANGE) {
      // The host's handler runs inside the system's message dispatch: nothing
      // it throws may unwind through it.
      try {
        if (HidLibrary* library = process_library()) library->device_change_message();
      } catch (...) {
      }
    }
    return DefWindowProcA(window, message, wparam, lparam);
  }

  HWND window_ = nullptr;
  HDEVNOTIFY notification_ = nullptr;
};

// The read thread: waits for the current device's reports and feeds the
// report handler until the process ends, or until a report handler throws.
class THIDthread {
 public:
  static bool start() {
    DWORD id = 0;
    // The handle is let go at once: the thread releases itself when it ends.
    const win32::THandle thread(CreateThread(nullptr, 0, &THIDthread::run, nullptr, CREATE_SUSPENDED, &id));
    if (!thread) return false;
    SetThreadPriority(thread.get(), THREAD_PRIORITY_TIME_CRITICAL);
    ResumeThread(thread.get());
    return true;
  }

 private:
  static DWORD WINAPI run(void*) {
    HidLibrary* library = process_library();
    try {
      library->read_loop();
    } catch (...) {
      // A report handler that throws ends delivery for good, quietly.
    }
    return 0;
  }
};

TUSBhandler usb_handler;

void load() {
  // The read thread runs code of this module until the process ends, so the
  // module must never be unmapped under it: it stays loaded for good.
  HMODULE pinned = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&load), &pinned);

  HidPlatform& platform = dll_platform();
  // Never destroyed: at process exit the read thread has been killed, maybe
  // while holding a lock that the library's destructor would wait for.
  static HidLibrary* library = new HidLibrary(platform);
  // The loader lock is held here: the read thread starts, and the window
  // registers for HID interface changes, with the host's first handler,
  // open, close or scan instead.
  library->set_first_change([] {
    THIDthread::start();
    usb_handler.register_for_hid_interfaces();
  });
  install_process_library(library);
  usb_handler.create();
  if (HWND window = usb_handler.window()) {
    // Platforms whose devices change without the system knowing (the
    // simulated one) announce it the way the system does.
    platform.set_device_change_poster(
        [window] { PostMessageA(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0); });
  }
}

}  // namespace
}  // namespace hidlib

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      hidlib::this_module = instance;
      DisableThreadLibraryCalls(instance);
      try {
        hidlib::load();
      } catch (...) {
        return FALSE;
      }
      break;
    case DLL_PROCESS_DETACH:
      // At process exit (reserved non-null) the window's thread may be gone.
      if (reserved == nullptr) hidlib::usb_handler.destroy();
      try {
        hidlib::dll_platform().process_ending();
      } catch (...) {
      }
      break;
    default:
      break;
  }
  return TRUE;
}
