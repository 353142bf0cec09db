#include "HSSpeedButton.h"

#include <algorithm>
#include <cwctype>

namespace hs {

bool IsAccel(wchar_t ch, const std::wstring& caption) {
  for (std::size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != L'&') continue;
    if (caption[i + 1] == L'&') {  // "&&" is a literal ampersand
      ++i;
      continue;
    }
    return std::towupper(wint_t(caption[i + 1])) == std::towupper(wint_t(ch));
  }
  return false;
}

// ================================================================ button

THSSpeedButton::THSSpeedButton(THSButtonParent* Owner) {
  if (Owner) {
    FFont = Owner->ParentFont();
    if (Owner->IsTopLevel()) FHTFont = FFont;
    FParent = Owner;
    Owner->AttachButton(this);
  }
}

THSSpeedButton::THSSpeedButton(THSButtonServices& services) : FServices(&services) {}

THSSpeedButton::~THSSpeedButton() {
  FDestroying = true;
  if (FTimer) FTimer->Suspend();
  FTimer.reset();
  if (FParent) FParent->DetachButton(this);
}

bool THSSpeedButton::ParentShowing() const { return FParent && FParent->Showing(); }

void THSSpeedButton::SetParent(THSButtonParent* p) {
  if (p == FParent) return;
  if (FParent) {
    Invalidate();
    FParent->DetachButton(this);
  }
  FParent = p;
  if (FTimer) MakeTimer();
  if (p) {
    p->AttachButton(this);
    if (FParentFont) FFont = p->ParentFont();
    Invalidate();
  }
}

void THSSpeedButton::MakeTimer() {
  const bool running = FTimer && !FTimer->Suspended();
  FTimer = std::make_unique<THSButtonTimer>([this] { TimerTick(); }, Services().Timers());
  if (running) FTimer->Start();
}

void THSSpeedButton::SetBounds(int left, int top, int width, int height) {
  Invalidate();
  FBounds = {left, top, left + width, top + height};
  Invalidate();
}

void THSSpeedButton::SetCaption(const std::wstring& v) {
  FCaption = v;
  Invalidate();
}

void THSSpeedButton::SetFont(const TFont& v) {
  FFont = v;
  FParentFont = false;
  Invalidate();
}

void THSSpeedButton::SetParentFont(bool v) {
  FParentFont = v;
  if (v && FParent) FFont = FParent->ParentFont();
  Invalidate();
}

void THSSpeedButton::SetEnabled(bool v) {
  if (v == FEnabled) return;
  FEnabled = v;
  Invalidate();
  if (FParent) FParent->ButtonStateChanged(this);
}

void THSSpeedButton::SetVisible(bool v) {
  if (v == FVisible) return;
  FVisible = v;
  // The parent repaints what was below a button that is hidden now.
  if (FParent) FParent->InvalidateRect(FBounds);
}

void THSSpeedButton::Invalidate() {
  if (FParent && FVisible) FParent->InvalidateRect(FBounds);
}

void THSSpeedButton::Repaint() {
  if (FVisible && ParentShowing()) Paint();
}

void THSSpeedButton::Redraw() {
  if (FTransparent)
    Invalidate();
  else
    Repaint();
}

// ---------------------------------------------------------------- properties

void THSSpeedButton::SetAlignment(TAlignment v) {
  FAlignment = v;
  Redraw();
}

void THSSpeedButton::SetBorder(std::uint8_t v) {
  FBorder = v;
  Invalidate();
}

void THSSpeedButton::SetColor(TColor v) {
  FColor = v;
  const TColor c = Services().ToRGB(v);
  FLightColor = ShiftColor(c, 128);
  FHotTrackColor = ShiftColor(c, 32);
  FShadowColor = ShiftColor(c, -128);
  FFont.Color = GrayColor(c) < 0x606060 ? clWhite : clBlack;
  FParentFont = false;
  SetColorWhenDown(clNone);
}

void THSSpeedButton::SetColorWhenDown(TColor v) {
  FColorWhenDown = v;
  Redraw();
}

void THSSpeedButton::SetColorStyle(THSColorStyle v) {
  const THSColorSet& set = ColorStyleColors[v];
  FColor = set.Color;
  FLightColor = set.LightColor;
  FShadowColor = set.ShadowColor;
  FColorWhenDown = set.ColorWhenDown;
  FHotTrackColor = set.HotTrackColor;
  FFlat = false;
  FFont.Color = clBlack;
  FParentFont = false;
  FStyle = bsModern;  // no colour-depth rule here
  const bool changed = v != FDummyStyle;
  FDummyStyle = v;
  Repaint();  // at once, also when transparent
  // The window sets every style on each refresh: only a change is news.
  if (changed && FParent) FParent->ButtonStateChanged(this);
}

void THSSpeedButton::SetDown(bool v) {
  if (v == FDown) return;
  if (FGroupIndex != 0 && FParent) {
    std::vector<THSSpeedButton*> siblings = FParent->Buttons();
    for (THSSpeedButton* b : siblings)
      if (b != this && b->FGroupIndex == FGroupIndex) b->SetDown(false);
  }
  FDown = v;
  Redraw();
  if (FParent) FParent->ButtonStateChanged(this);
}

void THSSpeedButton::SetFlat(bool v) {
  FFlat = v;
  Invalidate();
}

void THSSpeedButton::SetGlyph(const TBitmap32* v) {
  if (v) {
    FGlyph = *v;
    FNumGlyphs = FGlyph.Height() > 0 ? FGlyph.Width() / FGlyph.Height() : 0;
  } else {
    FGlyph = TBitmap32();
    FNumGlyphs = 0;
  }
  Invalidate();
}

void THSSpeedButton::SetGroupIndex(int v) {
  FGroupIndex = v;
  Redraw();
}

void THSSpeedButton::SetLayout(THSButtonLayout v) {
  FLayout = v;
  Redraw();
}

void THSSpeedButton::SetLightColor(TColor v) {
  FLightColor = v;
  Redraw();
}

void THSSpeedButton::SetNumGlyphs(int v) {
  FNumGlyphs = v;
  Invalidate();
}

void THSSpeedButton::SetShadowColor(TColor v) {
  FShadowColor = v;
  Redraw();
}

void THSSpeedButton::SetSlowDecease(THSSlowDecease v) {
  FSlowDecease = v;
  if (v == sdNone) {
    if (FTimer) {
      FHotTrackStep = 0;
      FTimer->Suspend();
      FTimer.reset();
    }
  } else if (!FTimer) {
    MakeTimer();
  }
  Invalidate();
}

void THSSpeedButton::SetSmooth(std::int16_t v) {
  FSmooth = v;
  Invalidate();
}

void THSSpeedButton::SetStyle(THSButtonStyle v) {
  // A gradient face on a palette screen looks worse than the plain one.
  if (v == bsModern && Services().ScreenBitsPerPixel() <= 8) v = bsNormal;
  FStyle = v;
  Invalidate();
}

void THSSpeedButton::SetTransparent(bool v) {
  FTransparent = v;
  if (v)
    Invalidate();
  else
    Repaint();
}

void THSSpeedButton::SetWordWrap(bool v) {
  FWordWrap = v;
  Redraw();
}

// ---------------------------------------------------------------- hot tracking

void THSSpeedButton::MouseEnter() {
  if (!FEnabled || !FVisible || !ParentShowing()) return;
  bCursorOnButton = true;
  if (FSlowDecease == sdEnterLeave) {
    if (FTimer && FTimer->Suspended()) FTimer->Start();
  } else {
    FHotTrackStep = 8;
    Redraw();
  }
  if (OnMouseEnter) OnMouseEnter(this);
}

void THSSpeedButton::MouseLeave() {
  bCursorOnButton = false;
  if (FSlowDecease == sdNone) {
    FHotTrackStep = 0;
    Redraw();
  } else if (FTimer && FTimer->Suspended()) {
    FTimer->Start();
  }
  if (FEnabled && FVisible && ParentShowing() && OnMouseExit) OnMouseExit(this);
}

void THSSpeedButton::TimerTick() {
  if (FDestroying) return;
  FHotTrackStep += bCursorOnButton ? 1 : -1;
  if (FHotTrackStep <= 0 || FHotTrackStep >= 8) {
    FHotTrackStep = bCursorOnButton ? 8 : 0;
    if (FTimer && !FTimer->Suspended()) FTimer->Suspend();
  }
  Redraw();
}

// ---------------------------------------------------------------- mouse

void THSSpeedButton::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
  // Held from here on: the handler may pump messages, so the release or the
  // loss of the capture can be handled before it returns.
  if (Button == mbLeft) FPressed = true;
  if (OnMouseDown) OnMouseDown(this, Button, Shift, X, Y);
  if (Button != mbLeft || !FEnabled) return;
  if (FGroupIndex == 0) {
    // Down means held: a press that already ended does not go down.
    if (FPressed) SetDown(true);
  } else if (!FDown) {
    // In a group down is the selection, which outlives the press.
    SetDown(true);
  } else if (FAllowAllUp) {
    SetDown(false);
  }
}

void THSSpeedButton::DoubleClick(TShiftState Shift, int X, int Y) { MouseDown(mbLeft, Shift, X, Y); }

void THSSpeedButton::MouseUp(TMouseButton Button, TShiftState Shift, int X, int Y) {
  if (Button == mbLeft && FPressed) {
    FPressed = false;
    if (X >= 0 && Y >= 0 && X < Width() && Y < Height()) Click();
  }
  if (OnMouseUp) OnMouseUp(this, Button, Shift, X, Y);
  // Releasing another button leaves a held left press down.
  if (Button == mbLeft && FGroupIndex == 0) SetDown(false);
}

void THSSpeedButton::MouseMove(TShiftState Shift, int X, int Y) {
  if (OnMouseMove) OnMouseMove(this, Shift, X, Y);
}

void THSSpeedButton::CancelMode() {
  // The release will not come: without this an ungrouped button would stay
  // drawn down until the next press.
  FPressed = false;
  if (FGroupIndex == 0) SetDown(false);
}

void THSSpeedButton::Click() {
  if (FPopupMenu && FParent) FParent->PopupMenu(FPopupMenu, FParent->ClientToScreen({Left(), Top() + Height()}));
  if (OnClick) OnClick(this);
}

void THSSpeedButton::Press(TMouseButton Button) {
  if (!FEnabled || !FVisible) return;
  const int x = Width() / 2, y = Height() / 2;
  MouseDown(Button, 0, x, y);
  // As with the mouse: a button that its press handler disabled only comes up.
  if (FEnabled)
    MouseUp(Button, 0, x, y);
  else
    CancelMode();
}

bool THSSpeedButton::DialogChar(wchar_t ch) {
  if (!IsAccel(ch, FCaption) || !FEnabled || !FVisible || !ParentShowing()) return false;
  const bool wasDown = FDown;
  SetDown(true);
  Repaint();
  Click();
  SetDown(wasDown);
  Repaint();
  return true;
}

// ---------------------------------------------------------------- painting

TFont THSSpeedButton::CaptionFont() const { return bCursorOnButton && FUseHTFont ? FHTFont : FFont; }

TBitmap32 THSSpeedButton::RenderFace() const {
  const int w = std::clamp(Width(), 0, 32767), h = std::clamp(Height(), 0, 32767);
  TBitmap32 face(w, h, clBlack);
  if (face.Empty()) return face;
  if (FTransparent || FStyle == bsModern || FStyle == bsShape || FStyle == bsQuicken || FStyle == bsGlass)
    face.Fill(clFuchsia);
  THSFaceParams p;
  p.W = std::int16_t(w);
  p.H = std::int16_t(h);
  p.Border = FBorder;
  p.Step = std::int16_t(FHotTrackStep);
  p.Smooth = FSmooth;
  p.NumGlyphs = std::int16_t(FNumGlyphs);
  p.Glyph = &FGlyph;
  p.Down = FDown;
  p.Over = bCursorOnButton;
  p.Transparent = FTransparent;
  p.Enabled = FEnabled;
  p.Flat = FFlat;
  p.WordWrap = FWordWrap;
  p.HasPopup = FPopupMenu != nullptr;
  p.Style = FStyle;
  p.Color = FColor;
  p.ColorWhenDown = FColorWhenDown;
  p.HotTrackColor = FHotTrackColor;
  p.LightColor = FLightColor;
  p.ShadowColor = FShadowColor;
  p.Font = CaptionFont();
  p.Layout = FLayout;
  p.Caption = FCaption;
  p.Alignment = FAlignment;
  PaintButtonFace(face, p, Services());
  return face;
}

void THSSpeedButton::Paint() {
  if (!FParent) return;
  TBitmap32 face = RenderFace();
  if (!face.Empty()) FParent->DrawFace(face, Left(), Top());
}

}  // namespace hs
