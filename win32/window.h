// The window base class: one window, one C++ object. The window class's
// procedure is TWindow::procedure; the object passes itself as the creation
// parameter (create_window does), the procedure stores it at WM_NCCREATE and
// hands every later message to handle_message. The few messages before
// WM_NCCREATE (WM_GETMINMAXINFO) and those after WM_NCDESTROY go to
// DefWindowProcW.
#pragma once

#include <windows.h>

namespace win32 {

class TWindow {
 public:
  // The window, from WM_NCCREATE on.
  HWND handle = nullptr;

  virtual ~TWindow() = default;
  virtual LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) = 0;

  // The lpfnWndProc of every window class whose windows are TWindow objects.
  static LRESULT CALLBACK procedure(HWND window, UINT msg, WPARAM wp, LPARAM lp);

 protected:
  // CreateWindowExW with this object as the creation parameter: the window's
  // messages reach handle_message while it is still being created.
  HWND create_window(DWORD ex_style, const wchar_t* class_name, const wchar_t* title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance);
};

}  // namespace win32
