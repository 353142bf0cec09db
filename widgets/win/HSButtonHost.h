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
// into the button routing of THSButtonParent. It shows the Hint of a button
// whose ShowHint is set in a standard tooltip, and answers WM_GETOBJECT for
// the client area with an accessible object (MSAA IAccessible) whose children
// are the buttons; the window's thread should have initialised COM
// (OleInitialize) so that other processes can reach that object. The parent's
// window class needs CS_DBLCLKS for double-clicks and should erase its
// background (class brush).
// The host lends its buttons the Windows services (THSWin32Services: GDI text,
// GetSysColor, message-loop timers): its own, or those it is given.
#pragma once

#include <windows.h>

#include <oleacc.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../HSSpeedButton.h"
#include "HSWinServices.h"

namespace hs {

// What an accessibility client is told of one button besides its role (push
// button), state (unavailable while disabled), description (its Hint),
// default action (a left click) and location.
struct THSAccessibleInfo {
  std::wstring Name;
  std::wstring KeyboardShortcut;
  bool Pressed = false;
};

class THSButtonHost : public THSButtonParent {
 public:
  // With Windows services of its own.
  explicit THSButtonHost(HWND parent);
  // With the given services, which must outlive the host and its buttons.
  THSButtonHost(HWND parent, THSButtonServices& services);
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

  // --- accessibility ---
  // The buttons a client sees, child ids 1..n in this order; without a call,
  // every button in child order.
  void SetAccessibleButtons(std::vector<THSSpeedButton*> buttons) { FAccessibleOrder = std::move(buttons); }
  std::vector<THSSpeedButton*> AccessibleButtons() const;
  // The window tells what its buttons mean. Without it: the caption without
  // its accelerator mark, "Alt+" the accelerator, pressed while down.
  std::function<THSAccessibleInfo(const THSSpeedButton&)> OnAccessibleInfo;
  THSAccessibleInfo AccessibleInfo(const THSSpeedButton& b) const;

  // THSButtonParent
  void ButtonStateChanged(THSSpeedButton* b) override;
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
  // Brings the tooltip's tools in line with the buttons' hints and passes it
  // the mouse message.
  void RelayToToolTip(UINT msg, WPARAM wp, LPARAM lp);
  THSButtonHost(HWND parent, std::unique_ptr<THSButtonServices> services);

  std::unique_ptr<THSButtonServices> FOwnServices;  // outlives the owned buttons
  HWND FWnd;
  HDC FPaintDC = nullptr;  // set while the host handles WM_PAINT
  bool FTrackingLeave = false;
  std::vector<std::unique_ptr<THSSpeedButton>> FOwned;
  std::vector<THSSpeedButton*> FAccessibleOrder;
  IAccessible* FAccessible = nullptr;  // made at the first WM_GETOBJECT
  HWND FToolTip = nullptr;             // made when the first hint is to be shown
  struct TTip {
    TRect Bounds;
    std::wstring Text;
    bool operator==(const TTip&) const = default;
  };
  std::vector<TTip> FTips;  // the tools the tooltip has, tool id = index
};

// Copies a face onto dc at (x, y), leaving out magenta 0xFF00FF.
void BlitFace(HDC dc, const TBitmap32& face, int x, int y);

}  // namespace hs
