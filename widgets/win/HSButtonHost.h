// Win32 parent of window-less colour-style buttons. The parent window owns one
// THSButtonHost and passes every message through it first:
//
//   LRESULT CALLBACK WndProc(HWND h, UINT m, WPARAM w, LPARAM l) {
//     LRESULT r;
//     if (host && host->handle_message(h, m, w, l, r)) return r;
//     ...
//   }
//
// The host turns mouse (down, up, double-click, move), capture loss,
// mouse-leave (TrackMouseEvent), WM_CHAR/WM_SYSCHAR accelerators and WM_PAINT
// into the button routing of THSButtonParent. The parent's window class needs
// CS_DBLCLKS for double-clicks and should erase its background (class brush).
// Creating a host installs the GDI text engine, GetSysColor and the
// message-loop timer for the portable button code.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "../HSSpeedButton.h"

namespace hs {

// Installs the Windows seams (GDI text, system colours, SetTimer timers).
// Idempotent; THSButtonHost's constructor calls it.
void InstallWin32ButtonServices();

class THSButtonHost : public THSButtonParent {
 public:
  explicit THSButtonHost(HWND parent);
  ~THSButtonHost() override;
  THSButtonHost(const THSButtonHost&) = delete;
  THSButtonHost& operator=(const THSButtonHost&) = delete;

  HWND Window() const { return FWnd; }

  // Creates a button owned by the host, in child order. The font's colour is
  // the caption colour (ColorStyle and Color overwrite it).
  THSSpeedButton* CreateButton(int left, int top, int width, int height, const std::wstring& caption,
                               long long tag, const TFont& font);

  // Routes the message to the buttons; true when it was handled and result
  // holds the value to return from the window procedure.
  bool handle_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT& result);

  // Paints the buttons that meet clip onto dc (for a parent that does its own
  // WM_PAINT instead of letting the host handle it).
  void PaintTo(HDC dc, const RECT& clip);

  // THSButtonParent
  bool Showing() const override;
  void DrawFace(const TBitmap32& face, int left, int top) override;
  void InvalidateRect(const TRect& r) override;
  TPoint ClientToScreen(TPoint p) const override;
  void PopupMenu(THSPopupMenu menu, TPoint screen) override;
  bool IsTopLevel() const override;
  TFont ParentFont() const override;

 protected:
  void PlatformSetCapture() override;
  void PlatformReleaseCapture() override;

 private:
  HWND FWnd;
  HDC FPaintDC = nullptr;  // set while the host handles WM_PAINT
  bool FTrackingLeave = false;
  std::vector<std::unique_ptr<THSSpeedButton>> FOwned;
};

// Copies a face onto dc at (x, y), leaving out magenta 0xFF00FF.
void BlitFace(HDC dc, const TBitmap32& face, int x, int y);

}  // namespace hs
