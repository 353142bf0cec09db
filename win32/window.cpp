#include "win32/window.h"

namespace win32 {

LRESULT CALLBACK TWindow::procedure(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    if (self) {
      self->handle = window;
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
  }
  auto* self = reinterpret_cast<TWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, msg, wp, lp);
  const LRESULT result = self->handle_message(msg, wp, lp);
  // The last message: the object may end after it.
  if (msg == WM_NCDESTROY) SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  return result;
}

HWND TWindow::create_window(DWORD ex_style, const wchar_t* class_name, const wchar_t* title, DWORD style, int x,
                            int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance) {
  return CreateWindowExW(ex_style, class_name, title, style, x, y, width, height, parent, menu, instance,
                         static_cast<TWindow*>(this));
}

}  // namespace win32
