#include "uu.h"

#include <commctrl.h>
#include <commdlg.h>

#include "PresetLogic.h"
#include "winui.h"

std::atomic<bool> updating{false};
std::atomic<bool> close_request{false};
Tfu* fu = nullptr;

namespace {

constexpr wchar_t fu_class[] = L"Tfu";
// Fixed single border and a title bar without buttons (no system menu).
constexpr DWORD fu_style = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
constexpr int client_width = 147, client_height = 286;
constexpr COLORREF fu_background = RGB(0xE9, 0xE9, 0xE9);
constexpr int id_cancel = 1101, id_select = 1102, id_def = 1103;

HWND fmain_handle = nullptr;

HBRUSH background_brush() {
  static HBRUSH brush = CreateSolidBrush(fu_background);
  return brush;
}

std::wstring open_update_file(HWND owner) { return ask_file_name(owner, L"Update File\0*.vnxu\0", false); }

}  // namespace

bool Tfu::create(HINSTANCE instance, HWND fmain_hwnd) {
  fmain_handle = fmain_hwnd;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &win32::TWindow::procedure;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = background_brush();
  wc.lpszClassName = fu_class;
  if (!RegisterClassExW(&wc)) return false;

  const SIZE outer = outer_size_for_client(client_width, client_height, fu_style, 0, false);
  // Owned by fmain: always above it and without a taskbar button of its own.
  if (!create_window(WS_EX_CONTROLPARENT, fu_class, L"Update FW", fu_style, 0, 0, outer.cx, outer.cy, fmain_hwnd,
                     nullptr, instance))
    return false;

  HFONT font = tahoma_bold(11);
  cancel = create_child(handle, 0, WC_BUTTONW, L"Закрыть", BS_PUSHBUTTON | WS_TABSTOP, 10, 10, 127, 25, id_cancel,
                        font);
  Panel1 = create_panel(handle, 10, 41, 127, 150, fu_background);
  pb = create_child(handle, 0, PROGRESS_CLASSW, L"", PBS_SMOOTH, 10, 197, 127, 17, 0, font);
  SendMessageW(pb, PBM_SETRANGE32, 0, 100);
  SendMessageW(pb, PBM_SETPOS, 0, 0);
  select = create_child(handle, 0, WC_BUTTONW, L"ВЫБРАТЬ ФАЙЛ", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, 10, 220,
                        127, 25, id_select, font);
  def = create_child(handle, 0, WC_BUTTONW, L"Сброс настроек", BS_PUSHBUTTON | WS_TABSTOP, 10, 251, 127, 25, id_def,
                     font);

  auto label = [&](const wchar_t* text, int top) {
    return create_child(Panel1, 0, WC_STATICW, text, SS_LEFT | SS_NOPREFIX, 6, top, 115, 14, 0, font);
  };
  auto field = [&](int top) {
    return create_child(Panel1, WS_EX_CLIENTEDGE, WC_EDITW, L"", ES_CENTER | ES_READONLY | ES_AUTOHSCROLL | WS_TABSTOP,
                        6, top, 115, 21, 0, font);
  };
  Label2 = label(L"Device", 6);
  dev_name = field(23);
  Label5 = label(L"Serial", 56);
  dev_serial = field(73);
  vers = label(L"Version", 105);
  dev_version = field(123);

  if (!open) open = [this] { return open_update_file(handle); };
  FormCreate();
  return true;
}

void Tfu::FormCreate() {
  RECT main{}, self{};
  GetWindowRect(fmain_handle, &main);
  GetWindowRect(handle, &self);
  const int left = centre_over(main.left, main.right - main.left, self.right - self.left);
  const int top = centre_over(main.top, main.bottom - main.top, self.bottom - self.top);
  SetWindowPos(handle, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetTimer(handle, tmrb, 2000, nullptr);
}

void Tfu::set_tmrb_interval(UINT ms) {
  if (GetWindowThreadProcessId(handle, nullptr) == GetCurrentThreadId())
    SetTimer(handle, tmrb, ms, nullptr);
  else  // a window's timers belong to the thread that owns it
    post_to_ui([this, ms] { SetTimer(handle, tmrb, ms, nullptr); });
}

void Tfu::ShowModal() {
  if (modal_) return;
  modal_ = true;
  // FormShow belongs to this showing only: WM_SHOWWINDOW also comes when fmain
  // is restored from its icon, and must not reset a running update.
  FormShow();
  EnableWindow(fmain_handle, FALSE);
  ShowWindow(handle, SW_SHOW);
  SetActiveWindow(handle);
  MSG msg;
  while (modal_) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got <= 0) {
      // The process is ending: leave the loop and let the main loop see WM_QUIT.
      if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    dispatch_message(msg);
  }
  modal_ = false;
  // fmain first enabled, then the dialog hidden, so activation returns to fmain.
  EnableWindow(fmain_handle, TRUE);
  ShowWindow(handle, SW_HIDE);
  SetActiveWindow(fmain_handle);
}

void Tfu::Close() {
  if (modal_) {
    modal_ = false;
    PostMessageW(handle, WM_NULL, 0, 0);   // wake the modal loop
  } else {
    ShowWindow(handle, SW_HIDE);
  }
}

bool Tfu::Showing() const { return IsWindowVisible(handle) != FALSE; }

LRESULT Tfu::handle_message(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_TIMER:
      if (wp == tmrb) tmrbTimer();
      return 0;
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED) {
        switch (LOWORD(wp)) {
          case id_cancel: cancelClick(); return 0;
          case id_select: selectClick(); return 0;
          case id_def: defClick(); return 0;
        }
      }
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wp);
      HWND control = reinterpret_cast<HWND>(lp);
      // The read-only fields keep a white ground; labels sit on the dialog's colour.
      if (control == dev_name || control == dev_serial || control == dev_version) {
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(background_brush());
    }
    case WM_CTLCOLORBTN:
      return reinterpret_cast<LRESULT>(background_brush());
    case WM_CLOSE:
      // Alt+F4, the one way to close the window other than its button: it does
      // what "Закрыть" does, so a device left in its boot loader is told to leave it.
      cancelClick();
      return 0;
  }
  return DefWindowProcW(handle, msg, wp, lp);
}
