// The parent that owns a set of colour-style buttons: it routes the mouse and
// keyboard to them, keeps the captured one and paints them.
#include "HSSpeedButton.h"

#include <algorithm>

namespace hs {

THSButtonParent::~THSButtonParent() {
  for (THSSpeedButton* b : FButtons) b->FParent = nullptr;
}

void THSButtonParent::AttachButton(THSSpeedButton* b) {
  if (std::find(FButtons.begin(), FButtons.end(), b) == FButtons.end()) FButtons.push_back(b);
}

void THSButtonParent::DetachButton(THSSpeedButton* b) {
  FButtons.erase(std::remove(FButtons.begin(), FButtons.end(), b), FButtons.end());
  if (FHovered == b) FHovered = nullptr;
  if (FCaptured == b) SetCaptured(nullptr);
}

void THSButtonParent::SetCaptured(THSSpeedButton* b) {
  if (FCaptured == b) return;
  // Cleared before the platform call: releasing the capture reports the loss
  // synchronously, and that report must not cancel a regular release.
  FCaptured = b;
  if (b)
    PlatformSetCapture();
  else
    PlatformReleaseCapture();
}

THSSpeedButton* THSButtonParent::ButtonAt(TPoint p, bool enabledOnly) const {
  // The last child is on top.
  for (auto it = FButtons.rbegin(); it != FButtons.rend(); ++it) {
    THSSpeedButton* b = *it;
    if (b->Visible() && (!enabledOnly || b->Enabled()) && b->BoundsRect().Contains(p)) return b;
  }
  return nullptr;
}

bool THSButtonParent::RouteMouseDown(TMouseButton button, TShiftState shift, TPoint p) {
  THSSpeedButton* target = FCaptured ? FCaptured : ButtonAt(p, true);
  if (!target) return false;
  // Disabled while it holds the capture (the window disables its controls
  // during a device scan): the press is consumed, and the button keeps the
  // capture until the left release or the capture loss ends it.
  if (!target->Enabled()) return true;
  if (button == mbLeft) SetCaptured(target);
  target->MouseDown(button, shift, p.X - target->Left(), p.Y - target->Top());
  return true;
}

bool THSButtonParent::RouteDoubleClick(TShiftState shift, TPoint p) {
  THSSpeedButton* target = FCaptured ? FCaptured : ButtonAt(p, true);
  if (!target) return false;
  if (!target->Enabled()) return true;  // as in RouteMouseDown
  SetCaptured(target);
  target->DoubleClick(shift, p.X - target->Left(), p.Y - target->Top());
  return true;
}

bool THSButtonParent::RouteMouseUp(TMouseButton button, TShiftState shift, TPoint p) {
  THSSpeedButton* target = FCaptured ? FCaptured : ButtonAt(p, true);
  if (!target) return false;
  if (button == mbLeft) SetCaptured(nullptr);
  if (!target->Enabled()) {
    // Disabled while held (the window disables its controls during a device
    // scan): it takes no input any more, so it only comes back up.
    target->CancelMode();
    return true;
  }
  target->MouseUp(button, shift, p.X - target->Left(), p.Y - target->Top());
  return true;
}

bool THSButtonParent::RouteMouseMove(TShiftState shift, TPoint p) {
  THSSpeedButton* hit = ButtonAt(p, false);
  if (hit != FHovered) {
    THSSpeedButton* old = FHovered;
    FHovered = hit;
    if (old) old->MouseLeave();
    if (hit) hit->MouseEnter();
  }
  THSSpeedButton* target = FCaptured ? FCaptured : (hit && hit->Enabled() ? hit : nullptr);
  if (!target) return false;
  target->MouseMove(shift, p.X - target->Left(), p.Y - target->Top());
  return true;
}

void THSButtonParent::RouteMouseLeave() {
  if (THSSpeedButton* old = FHovered) {
    FHovered = nullptr;
    old->MouseLeave();
  }
}

void THSButtonParent::RouteCaptureLost() {
  if (THSSpeedButton* b = FCaptured) {
    FCaptured = nullptr;
    b->CancelMode();
  }
}

bool THSButtonParent::RouteChar(wchar_t ch) {
  std::vector<THSSpeedButton*> buttons = FButtons;
  for (THSSpeedButton* b : buttons)
    if (b->DialogChar(ch)) return true;
  return false;
}

void THSButtonParent::PaintButtons(const TRect& clip) {
  std::vector<THSSpeedButton*> buttons = FButtons;
  for (THSSpeedButton* b : buttons)
    if (b->Visible() && b->BoundsRect().Intersects(clip)) b->Paint();
}

}  // namespace hs
