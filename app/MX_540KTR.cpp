// Program entry: the application's windows fmain and fu, then the message loop.
// The device link starts when fmain is first activated (Tfmain::FormActivate).
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include "USB.h"
#include "umain.h"
#include "uu.h"
#include "winui.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  INITCOMMONCONTROLSEX icc{};
  icc.dwSize = sizeof icc;
  icc.dwICC = ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS | ICC_PROGRESS_CLASS;
  InitCommonControlsEx(&icc);
  // COM on the window thread: accessibility clients in other processes call
  // the main window's accessible object through it.
  OleInitialize(nullptr);
  link_use_win32_platform();
  // Units another program drives are left alone; a second panel takes the
  // next free unit, or shows none.
  link_set_unit_locks(link_win32_unit_locks());
  ui_queue_init();

  // fmain first: it is the main window, and fu is placed over it.
  fmain = new Tfmain;
  if (!fmain->create(instance)) return 1;
  fu = new Tfu;
  if (!fu->create(instance, fmain->handle)) return 1;
  install_link_host();

  ShowWindow(fmain->handle, show == SW_HIDE ? SW_SHOWNORMAL : show);
  UpdateWindow(fmain->handle);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) dispatch_message(msg);
  // The windows, the link worker and the library live until the process ends.
  return static_cast<int>(msg.wParam);
}
