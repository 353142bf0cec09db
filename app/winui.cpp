#include "winui.h"

#include "PresetLogic.h"
#include "win32/handles.h"
#include "win32/window.h"

#include <commdlg.h>

#include <atomic>
#include <map>
#include <memory>

int screen_dpi() {
  static const int dpi = [] {
    const win32::TWindowDC screen(nullptr);
    const int v = screen ? GetDeviceCaps(screen.get(), LOGPIXELSY) : 96;
    return v > 0 ? v : 96;
  }();
  return dpi;
}

int px(int layout_pixels) { return scale_px(layout_pixels, screen_dpi()); }

HFONT tahoma_bold(int layout_pixels) {
  static std::map<int, HFONT> fonts;
  HFONT& font = fonts[layout_pixels];
  if (!font)
    font = CreateFontW(-px(layout_pixels), 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       L"Tahoma");
  return font;
}

std::wstring window_text(HWND hwnd) {
  int n = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  n = GetWindowTextW(hwnd, text.data(), n + 1);
  text.resize(static_cast<size_t>(n > 0 ? n : 0));
  return text;
}

HWND create_child(HWND parent, DWORD ex_style, const wchar_t* cls, const wchar_t* text, DWORD style, int left,
                  int top, int width, int height, int id, HFONT font) {
  HWND h = CreateWindowExW(ex_style, cls, text, WS_CHILD | WS_VISIBLE | style, px(left), px(top), px(width),
                           px(height), parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           GetModuleHandleW(nullptr), nullptr);
  if (h && font) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return h;
}

namespace {

constexpr wchar_t panel_class[] = L"MXPanel";

LRESULT CALLBACK panel_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_VSCROLL:
    case WM_HSCROLL:
      return SendMessageW(GetParent(h), msg, wp, lp);
    case WM_ERASEBKGND: {
      RECT r;
      GetClientRect(h, &r);
      HDC dc = reinterpret_cast<HDC>(wp);
      // The stock DC brush takes the panel's colour: no brush is made per erase.
      const COLORREF before = SetDCBrushColor(dc, static_cast<COLORREF>(GetWindowLongPtrW(h, GWLP_USERDATA)));
      FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
      SetDCBrushColor(dc, before);
      DrawEdge(dc, &r, BDR_RAISEDOUTER, BF_RECT);
      return 1;
    }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace

HWND create_panel(HWND parent, int left, int top, int width, int height, COLORREF background) {
  static const bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = panel_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = panel_class;
    return RegisterClassExW(&wc) != 0;
  }();
  (void)registered;
  // WS_EX_CONTROLPARENT: Tab walks into the panel's controls.
  HWND h = create_child(parent, WS_EX_CONTROLPARENT, panel_class, L"", WS_CLIPSIBLINGS, left, top, width, height, 0,
                        nullptr);
  SetWindowLongPtrW(h, GWLP_USERDATA, static_cast<LONG_PTR>(background));
  return h;
}

SIZE outer_size_for_client(int client_width, int client_height, DWORD style, DWORD ex_style, bool has_menu) {
  RECT r{0, 0, px(client_width), px(client_height)};
  AdjustWindowRectEx(&r, style, has_menu ? TRUE : FALSE, ex_style);
  return SIZE{r.right - r.left, r.bottom - r.top};
}

namespace {
HWND shortcut_window = nullptr;
std::function<bool(const MSG&)> shortcut_take;
}  // namespace

void set_window_shortcuts(HWND window, std::function<bool(const MSG&)> take) {
  shortcut_window = window;
  shortcut_take = std::move(take);
}

void dispatch_message(MSG& msg) {
  HWND active = GetActiveWindow();
  // Before TranslateMessage: a key taken here types no character into the control.
  if (msg.message == WM_KEYDOWN && active && active == shortcut_window && shortcut_take && shortcut_take(msg))
    return;
  if (active && IsDialogMessageW(active, &msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

namespace {

// A message-only window of the main thread; each message carries one routine.
class TUiQueue final : public win32::TWindow {
 public:
  static constexpr UINT WM_APP_RUN = WM_APP + 0x40;

  bool create() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &win32::TWindow::procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TUiQueue";
    RegisterClassW(&wc);
    return create_window(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance) != nullptr;
  }

  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) override {
    if (msg == WM_APP_RUN) {
      std::unique_ptr<std::function<void()>> routine(reinterpret_cast<std::function<void()>*>(lp));
      if (routine && *routine) (*routine)();
      return 0;
    }
    return DefWindowProcW(handle, msg, wp, lp);
  }
};

// Set once, on the main thread; read by every poster.
std::atomic<HWND> ui_queue{nullptr};

}  // namespace

void ui_queue_init() {
  if (ui_queue) return;
  static TUiQueue queue;
  if (queue.create()) ui_queue = queue.handle;
}

bool post_to_ui(std::function<void()> routine) {
  HWND target = ui_queue;
  if (!target) return false;
  auto boxed = std::make_unique<std::function<void()>>(std::move(routine));
  if (!PostMessageW(target, TUiQueue::WM_APP_RUN, 0, reinterpret_cast<LPARAM>(boxed.get()))) return false;
  boxed.release();
  return true;
}

std::wstring ask_file_name(HWND owner, const wchar_t* filter, bool save, DWORD flags, const std::wstring& suggested,
                           const wchar_t* default_ext) {
  wchar_t path[MAX_PATH] = L"";
  suggested.copy(path, MAX_PATH - 1);
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner;
  ofn.lpstrFilter = filter;
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = path;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrDefExt = default_ext;
  ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER | OFN_ENABLESIZING | flags;
  const BOOL chosen = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  return chosen ? path : std::wstring();
}
