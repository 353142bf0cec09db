// THSSpeedButton: a push button without a window of its own. It lives in a
// parent (THSButtonParent), gets its mouse and character input routed by that
// parent and paints itself onto the parent's surface, magenta left out.
//
// Everything here is portable; the Win32 parent is THSButtonHost
// (win/HSButtonHost.h), which turns window messages into the Route* calls.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HSButtons.h"

namespace hs {

class THSSpeedButton;

enum TMouseButton { mbLeft, mbRight, mbMiddle };
enum TShiftFlag : unsigned {
  ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32, ssDouble = 64
};
using TShiftState = unsigned;

using TNotifyEvent = std::function<void(THSSpeedButton* Sender)>;
using TMouseEvent =
    std::function<void(THSSpeedButton* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(THSSpeedButton* Sender, TShiftState Shift, int X, int Y)>;

// Opaque popup-menu reference (an HMENU on Windows).
using THSPopupMenu = void*;

// The parent side of window-less buttons: keeps its buttons in child order,
// routes input to them, and lends them its platform services (text, system
// colours, screen depth, timers), which must outlive it.
class THSButtonParent {
 public:
  explicit THSButtonParent(THSButtonServices& services = PortableButtonServices()) : FServices(&services) {}
  virtual ~THSButtonParent();
  THSButtonParent(const THSButtonParent&) = delete;
  THSButtonParent& operator=(const THSButtonParent&) = delete;

  THSButtonServices& Services() const { return *FServices; }

  const std::vector<THSSpeedButton*>& Buttons() const { return FButtons; }

  // Input routing, in client coordinates. Each returns true when a button
  // took the input (false: the parent's own handling goes on).
  bool RouteMouseDown(TMouseButton button, TShiftState shift, TPoint p);
  bool RouteDoubleClick(TShiftState shift, TPoint p);  // left double-click
  bool RouteMouseUp(TMouseButton button, TShiftState shift, TPoint p);
  bool RouteMouseMove(TShiftState shift, TPoint p);
  void RouteMouseLeave();           // the mouse left the parent
  void RouteCaptureLost();          // the platform took the capture away
  bool RouteChar(wchar_t ch);       // accelerator characters
  void PaintButtons(const TRect& clip);  // the paint cycle: every visible button meeting clip

  THSSpeedButton* ButtonAt(TPoint p, bool enabledOnly) const;
  THSSpeedButton* Captured() const { return FCaptured; }

  // Platform services.
  virtual bool Showing() const = 0;
  // Copies face onto the surface at once at (left, top), magenta left out.
  virtual void DrawFace(const TBitmap32& face, int left, int top) = 0;
  // Marks a rectangle for the next paint cycle.
  virtual void InvalidateRect(const TRect& r) = 0;
  virtual TPoint ClientToScreen(TPoint p) const = 0;
  virtual void PopupMenu(THSPopupMenu menu, TPoint screen) = 0;
  // A parent that is a top-level window lends its font to new buttons.
  virtual bool IsTopLevel() const { return false; }
  virtual TFont ParentFont() const { return TFont{}; }
  // A button's state as an accessibility client sees it changed: its colour
  // style, enabled or down state.
  virtual void ButtonStateChanged(THSSpeedButton* b) {}

 protected:
  virtual void PlatformSetCapture() {}
  virtual void PlatformReleaseCapture() {}

 private:
  friend class THSSpeedButton;
  void AttachButton(THSSpeedButton* b);
  void DetachButton(THSSpeedButton* b);
  void SetCaptured(THSSpeedButton* b);

  THSButtonServices* FServices;
  std::vector<THSSpeedButton*> FButtons;
  THSSpeedButton* FCaptured = nullptr;
  THSSpeedButton* FHovered = nullptr;
};

class THSSpeedButton {
 public:
  // With an owner the button takes the owner's font (and, for a top-level
  // owner, a copy of it as hot-track font) and becomes its child.
  explicit THSSpeedButton(THSButtonParent* Owner = nullptr);
  // Without a parent: drawn with these services (which must outlive it)
  // instead of the portable ones.
  explicit THSSpeedButton(THSButtonServices& services);
  virtual ~THSSpeedButton();
  THSSpeedButton(const THSSpeedButton&) = delete;
  THSSpeedButton& operator=(const THSSpeedButton&) = delete;

  // --- base control ---
  THSButtonParent* Parent() const { return FParent; }
  void SetParent(THSButtonParent* p);
  // The parent's services, or without a parent the button's own.
  THSButtonServices& Services() const { return FParent ? FParent->Services() : *FServices; }
  int Left() const { return FBounds.Left; }
  int Top() const { return FBounds.Top; }
  int Width() const { return FBounds.Width(); }
  int Height() const { return FBounds.Height(); }
  TRect BoundsRect() const { return FBounds; }
  void SetBounds(int left, int top, int width, int height);
  const std::wstring& Caption() const { return FCaption; }
  void SetCaption(const std::wstring& v);
  const TFont& Font() const { return FFont; }
  void SetFont(const TFont& v);
  bool ParentFont() const { return FParentFont; }
  void SetParentFont(bool v);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool v);
  bool Visible() const { return FVisible; }
  void SetVisible(bool v);
  THSPopupMenu PopupMenu() const { return FPopupMenu; }
  void SetPopupMenu(THSPopupMenu m) { FPopupMenu = m; }
  const std::wstring& Hint() const { return FHint; }
  void SetHint(const std::wstring& v) { FHint = v; }
  bool ShowHint() const { return FShowHint; }
  void SetShowHint(bool v) { FShowHint = v; }
  long long Tag = 0;

  TNotifyEvent OnClick;
  TMouseEvent OnMouseDown;
  TMouseMoveEvent OnMouseMove;
  TMouseEvent OnMouseUp;

  // --- properties of the button ---
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment v);
  bool AllowAllUp() const { return FAllowAllUp; }
  void SetAllowAllUp(bool v) { FAllowAllUp = v; }
  int Border() const { return FBorder; }
  void SetBorder(std::uint8_t v);
  TColor Color() const { return FColor; }
  void SetColor(TColor v);
  TColor ColorWhenDown() const { return FColorWhenDown; }
  void SetColorWhenDown(TColor v);
  THSColorStyle ColorStyle() const { return FDummyStyle; }
  void SetColorStyle(THSColorStyle v);
  bool Down() const { return FDown; }
  void SetDown(bool v);
  bool Flat() const { return FFlat; }
  void SetFlat(bool v);
  const TBitmap32& Glyph() const { return FGlyph; }
  void SetGlyph(const TBitmap32* v);  // nullptr: no image
  int GroupIndex() const { return FGroupIndex; }
  void SetGroupIndex(int v);
  TColor HotTrackColor() const { return FHotTrackColor; }
  void SetHotTrackColor(TColor v) { FHotTrackColor = v; }
  const TFont& HotTrackFont() const { return FHTFont; }
  void SetHotTrackFont(const TFont& v) { FHTFont = v; }
  THSButtonLayout Layout() const { return FLayout; }
  void SetLayout(THSButtonLayout v);
  TColor LightColor() const { return FLightColor; }
  void SetLightColor(TColor v);
  int NumGlyphs() const { return FNumGlyphs; }
  void SetNumGlyphs(int v);
  TColor ShadowColor() const { return FShadowColor; }
  void SetShadowColor(TColor v);
  THSSlowDecease SlowDecease() const { return FSlowDecease; }
  void SetSlowDecease(THSSlowDecease v);
  int Smooth() const { return FSmooth; }
  void SetSmooth(std::int16_t v);
  THSButtonStyle Style() const { return FStyle; }
  void SetStyle(THSButtonStyle v);
  bool Transparent() const { return FTransparent; }
  void SetTransparent(bool v);
  bool UseHotTrackFont() const { return FUseHTFont; }
  void SetUseHotTrackFont(bool v) { FUseHTFont = v; }
  bool WordWrap() const { return FWordWrap; }
  void SetWordWrap(bool v);
  TNotifyEvent OnMouseEnter;
  TNotifyEvent OnMouseExit;

  // --- state, read-only ---
  bool CursorOnButton() const { return bCursorOnButton; }
  int HotTrackStep() const { return FHotTrackStep; }
  THSButtonTimer* Timer() const { return FTimer.get(); }

  // --- operations ---
  virtual void Click();
  // A press and release of `Button` at the button's centre, handled as the
  // mouse's would be (OnMouseDown, down state, Click, OnMouseUp), for keyboard
  // shortcuts and accessibility clients. A disabled or invisible button takes none.
  void Press(TMouseButton Button);
  // Builds the face and copies it onto the parent (the paint operation).
  void Paint();
  // The face as Paint builds it, without copying it anywhere.
  TBitmap32 RenderFace() const;
  // Paint at once when visible on a showing parent.
  void Repaint();
  // Mark the button's rectangle for the next paint cycle.
  void Invalidate();

  // Input, normally from the parent's routing (client coordinates of the button).
  void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
  void MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y);
  void MouseMove(TShiftState Shift, int X, int Y);
  void DoubleClick(TShiftState Shift, int X, int Y);
  void MouseEnter();
  void MouseLeave();
  // The parent received ch; true when it was this button's accelerator.
  bool DialogChar(wchar_t ch);
  // Mouse capture was taken away while the left button was held.
  void CancelMode();

 private:
  friend class THSButtonParent;
  void Redraw();  // paint at once unless transparent, which only invalidates
  bool ParentShowing() const;
  void TimerTick();
  TFont CaptionFont() const;
  // A fade timer runs on the timers of the current services.
  void MakeTimer();

  // base control
  THSButtonParent* FParent = nullptr;
  THSButtonServices* FServices = &PortableButtonServices();
  TRect FBounds{0, 0, 100, 23};
  std::wstring FCaption;
  TFont FFont;
  bool FParentFont = true;
  bool FEnabled = true;
  bool FVisible = true;
  THSPopupMenu FPopupMenu = nullptr;
  std::wstring FHint;
  bool FShowHint = false;
  // The left press is held: set before OnMouseDown runs, ended by the left
  // release (which clicks when inside) or by CancelMode.
  bool FPressed = false;

  // fields of the button
  TAlignment FAlignment = taCenter;
  bool FAllowAllUp = false;
  TColor FColorWhenDown = clNone;
  bool FDown = false;
  bool FFlat = false;
  bool FWordWrap = false;
  TBitmap32 FGlyph;
  int FGroupIndex = 0;
  TColor FHotTrackColor = clNone;
  TFont FHTFont;
  THSButtonLayout FLayout = blGlyphLeft;
  TColor FLightColor = clWhite;
  int FNumGlyphs = 0;
  TColor FShadowColor = clBlack;
  THSButtonStyle FStyle = bsNormal;
  bool FTransparent = false;
  bool FUseHTFont = false;
  THSColorStyle FDummyStyle = lcsChrome;
  bool bCursorOnButton = false;
  std::unique_ptr<THSButtonTimer> FTimer;
  THSSlowDecease FSlowDecease = sdNone;
  int FHotTrackStep = 0;
  TColor FColor = clBtnFace;
  std::uint8_t FBorder = 1;
  std::int16_t FSmooth = 0;
  bool FDestroying = false;
};

// True when ch is the accelerator of caption (the character after a single
// '&', compared without case).
bool IsAccel(wchar_t ch, const std::wstring& caption);

}  // namespace hs
