#include "HSButtonHost.h"

#include <commctrl.h>
#include <windowsx.h>

#include <cstring>
#include <cwctype>

#include "HSButtonAccessible.h"
#include "HSDibSurface.h"
#include "win32/handles.h"

namespace hs {

namespace {

TShiftState ShiftFromKeys(WPARAM keys) {
  TShiftState s = 0;
  if (keys & MK_SHIFT) s |= ssShift;
  if (keys & MK_CONTROL) s |= ssCtrl;
  if (keys & MK_LBUTTON) s |= ssLeft;
  if (keys & MK_RBUTTON) s |= ssRight;
  if (keys & MK_MBUTTON) s |= ssMiddle;
  if (GetKeyState(VK_MENU) < 0) s |= ssAlt;
  return s;
}

// One cached DIB section for copying faces to the screen.
struct TFaceSurface {
  win32::TMemoryDC dc;
  TDibSurface surface;  // ends before the DC

  bool Ensure(int width, int height) {
    if (!dc) dc.reset(CreateCompatibleDC(nullptr));
    if (!dc) return false;
    return surface.Ensure(dc.get(), width, height);
  }
};

TFaceSurface& FaceSurface() {
  static TFaceSurface s;
  return s;
}

}  // namespace

void BlitFace(HDC dc, const TBitmap32& face, int x, int y) {
  if (face.Empty()) return;
  TFaceSurface& s = FaceSurface();
  if (!s.Ensure(face.Width(), face.Height())) return;
  std::memcpy(s.surface.bits, face.Bits(), std::size_t(face.Width()) * face.Height() * 4);
  GdiFlush();
  TransparentBlt(dc, x, y, face.Width(), face.Height(), s.dc.get(), 0, 0, face.Width(), face.Height(),
                 RGB(255, 0, 255));
}

THSButtonHost::THSButtonHost(HWND parent) : THSButtonHost(parent, std::make_unique<THSWin32Services>()) {}

THSButtonHost::THSButtonHost(HWND parent, THSButtonServices& services)
    : THSButtonParent(services), FWnd(parent) {}

THSButtonHost::THSButtonHost(HWND parent, std::unique_ptr<THSButtonServices> services)
    : THSButtonParent(*services), FOwnServices(std::move(services)), FWnd(parent) {}

THSButtonHost::~THSButtonHost() {
  DisconnectButtonAccessible(FAccessible);
  FAccessible = nullptr;
  if (FToolTip && IsWindow(FToolTip)) DestroyWindow(FToolTip);
  // The buttons leave while the host is still whole.
  while (!FOwned.empty()) FOwned.pop_back();
}

THSSpeedButton* THSButtonHost::CreateButton(int left, int top, int width, int height,
                                            const std::wstring& caption, long long tag, const TFont& font) {
  auto b = std::make_unique<THSSpeedButton>(this);
  b->SetBounds(left, top, width, height);
  b->SetCaption(caption);
  b->Tag = tag;
  b->SetFont(font);
  FOwned.push_back(std::move(b));
  return FOwned.back().get();
}

bool THSButtonHost::handle_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
  if (hwnd != FWnd) return false;
  const TPoint p{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
  bool handled = false;
  switch (msg) {
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
      RelayToToolTip(msg, wp, lp);
      break;
  }
  switch (msg) {
    case WM_LBUTTONDOWN: handled = RouteMouseDown(mbLeft, ShiftFromKeys(wp), p); break;
    case WM_RBUTTONDOWN: handled = RouteMouseDown(mbRight, ShiftFromKeys(wp), p); break;
    case WM_MBUTTONDOWN: handled = RouteMouseDown(mbMiddle, ShiftFromKeys(wp), p); break;
    case WM_LBUTTONDBLCLK: handled = RouteDoubleClick(ShiftFromKeys(wp), p); break;
    case WM_RBUTTONDBLCLK: handled = RouteMouseDown(mbRight, ShiftFromKeys(wp) | ssDouble, p); break;
    case WM_MBUTTONDBLCLK: handled = RouteMouseDown(mbMiddle, ShiftFromKeys(wp) | ssDouble, p); break;
    case WM_LBUTTONUP: handled = RouteMouseUp(mbLeft, ShiftFromKeys(wp), p); break;
    case WM_RBUTTONUP: handled = RouteMouseUp(mbRight, ShiftFromKeys(wp), p); break;
    case WM_MBUTTONUP: handled = RouteMouseUp(mbMiddle, ShiftFromKeys(wp), p); break;
    case WM_MOUSEMOVE:
      if (!FTrackingLeave) {
        TRACKMOUSEEVENT tme{sizeof(tme), TME_LEAVE, FWnd, 0};
        FTrackingLeave = TrackMouseEvent(&tme) != FALSE;
      }
      handled = RouteMouseMove(ShiftFromKeys(wp), p);
      break;
    case WM_MOUSELEAVE:
      FTrackingLeave = false;
      RouteMouseLeave();
      return false;
    case WM_CAPTURECHANGED:
      if (reinterpret_cast<HWND>(lp) != FWnd) RouteCaptureLost();
      return false;
    case WM_CHAR:
    case WM_SYSCHAR:
      handled = RouteChar(static_cast<wchar_t>(wp));
      break;
    case WM_GETOBJECT:
      // lParam carries a 32-bit object id.
      if (static_cast<LONG>(static_cast<DWORD>(lp)) != OBJID_CLIENT) return false;
      if (!FAccessible) FAccessible = CreateButtonAccessible(this);
      result = LresultFromObject(IID_IAccessible_value, wp, FAccessible);
      return true;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(FWnd, &ps);
      PaintTo(dc, ps.rcPaint);
      EndPaint(FWnd, &ps);
      handled = true;
      break;
    }
    default:
      return false;
  }
  if (handled) result = 0;
  return handled;
}

void THSButtonHost::PaintTo(HDC dc, const RECT& clip) {
  HDC saved = FPaintDC;
  FPaintDC = dc;
  PaintButtons({clip.left, clip.top, clip.right, clip.bottom});
  FPaintDC = saved;
}

std::vector<THSSpeedButton*> THSButtonHost::AccessibleButtons() const {
  if (FAccessibleOrder.empty()) return Buttons();
  std::vector<THSSpeedButton*> buttons;
  for (THSSpeedButton* b : FAccessibleOrder)
    for (THSSpeedButton* child : Buttons())
      if (child == b) buttons.push_back(b);
  return buttons;
}

THSAccessibleInfo THSButtonHost::AccessibleInfo(const THSSpeedButton& b) const {
  if (OnAccessibleInfo) return OnAccessibleInfo(b);
  THSAccessibleInfo info;
  const std::wstring& caption = b.Caption();
  for (std::size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == L'&' && i + 1 < caption.size()) {
      ++i;
      if (caption[i] != L'&' && info.KeyboardShortcut.empty())
        info.KeyboardShortcut = std::wstring(L"Alt+") + static_cast<wchar_t>(std::towupper(wint_t(caption[i])));
    }
    info.Name += caption[i];
  }
  info.Pressed = b.Down();
  return info;
}

void THSButtonHost::ButtonStateChanged(THSSpeedButton* b) {
  const std::vector<THSSpeedButton*> buttons = AccessibleButtons();
  for (std::size_t i = 0; i < buttons.size(); ++i)
    if (buttons[i] == b) NotifyWinEvent(EVENT_OBJECT_STATECHANGE, FWnd, OBJID_CLIENT, static_cast<LONG>(i + 1));
}

void THSButtonHost::RelayToToolTip(UINT msg, WPARAM wp, LPARAM lp) {
  std::vector<TTip> tips;
  for (THSSpeedButton* b : Buttons())
    if (b->Visible() && b->ShowHint() && !b->Hint().empty()) tips.push_back({b->BoundsRect(), b->Hint()});
  if (!FToolTip) {
    if (tips.empty()) return;
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    // TTS_ALWAYSTIP: hints show also while another window is active, as the
    // hot-track faces do.
    FToolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, FWnd, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (!FToolTip) return;
    // A maximum width lets a hint break into lines (at "\n" and where it is too long).
    const win32::TWindowDC dc(FWnd);
    const int dpi = dc ? GetDeviceCaps(dc.get(), LOGPIXELSX) : 96;
    SendMessageW(FToolTip, TTM_SETMAXTIPWIDTH, 0, MulDiv(400, dpi, 96));
  }
  if (tips != FTips) {
    // TTTOOLINFOW_V2_SIZE: accepted by every comctl32 version, with or without a manifest.
    for (std::size_t i = 0; i < FTips.size(); ++i) {
      TTTOOLINFOW ti{};
      ti.cbSize = TTTOOLINFOW_V2_SIZE;
      ti.hwnd = FWnd;
      ti.uId = i;
      SendMessageW(FToolTip, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    }
    for (std::size_t i = 0; i < tips.size(); ++i) {
      TTTOOLINFOW ti{};
      ti.cbSize = TTTOOLINFOW_V2_SIZE;
      ti.hwnd = FWnd;
      ti.uId = i;
      ti.rect = {tips[i].Bounds.Left, tips[i].Bounds.Top, tips[i].Bounds.Right, tips[i].Bounds.Bottom};
      ti.lpszText = const_cast<wchar_t*>(tips[i].Text.c_str());  // the tooltip keeps a copy
      SendMessageW(FToolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&ti));
    }
    FTips = std::move(tips);
  }
  MSG m{};
  m.hwnd = FWnd;
  m.message = msg;
  m.wParam = wp;
  m.lParam = lp;
  m.time = static_cast<DWORD>(GetMessageTime());
  m.pt = {GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
  ::ClientToScreen(FWnd, &m.pt);
  SendMessageW(FToolTip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&m));
}

bool THSButtonHost::Showing() const { return IsWindowVisible(FWnd) != FALSE; }

void THSButtonHost::DrawFace(const TBitmap32& face, int left, int top) {
  if (FPaintDC) {
    BlitFace(FPaintDC, face, left, top);
    return;
  }
  const win32::TWindowDC dc(FWnd);
  if (dc) BlitFace(dc.get(), face, left, top);
}

void THSButtonHost::InvalidateRect(const TRect& r) {
  RECT rc{r.Left, r.Top, r.Right, r.Bottom};
  // Erase too: the face leaves out magenta, so the parent's background
  // must be fresh below it.
  ::InvalidateRect(FWnd, &rc, TRUE);
}

TPoint THSButtonHost::ClientToScreen(TPoint p) const {
  POINT pt{p.X, p.Y};
  ::ClientToScreen(FWnd, &pt);
  return {pt.x, pt.y};
}

void THSButtonHost::PopupMenu(THSPopupMenu menu, TPoint screen) {
  TrackPopupMenu(static_cast<HMENU>(menu), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, screen.X, screen.Y, 0,
                 FWnd, nullptr);
}

bool THSButtonHost::IsTopLevel() const { return (GetWindowLongW(FWnd, GWL_STYLE) & WS_CHILD) == 0; }

TFont THSButtonHost::ParentFont() const {
  TFont f;
  HFONT h = reinterpret_cast<HFONT>(SendMessageW(FWnd, WM_GETFONT, 0, 0));
  LOGFONTW lf{};
  if (h && GetObjectW(h, sizeof(lf), &lf)) {
    f.Name = lf.lfFaceName;
    f.Height = lf.lfHeight < 0 ? -lf.lfHeight : lf.lfHeight;
    f.Bold = lf.lfWeight >= FW_BOLD;
    f.Italic = lf.lfItalic != 0;
    f.Underline = lf.lfUnderline != 0;
    f.StrikeOut = lf.lfStrikeOut != 0;
  }
  return f;
}

void THSButtonHost::PlatformSetCapture() { SetCapture(FWnd); }

void THSButtonHost::PlatformReleaseCapture() {
  if (GetCapture() == FWnd) ReleaseCapture();
}

}  // namespace hs
