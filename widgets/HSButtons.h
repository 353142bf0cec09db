// Support unit of the colour-style button: enumerations, colour table, the
// colour functions, the fade timer and the face painter PaintButtonFace, which
// draws one complete face into an off-screen image from the button's state.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "HSCanvas.h"

namespace hs {

enum THSButtonStyle { bsNormal, bsEncarta, bsModern, bsOld, bsShape, bsQuicken, bsGlass };
enum THSColorStyle { lcsChrome, lcsGreen, lcsRed, lcsGold };
enum THSSlowDecease { sdNone, sdEnterLeave, sdLeave };
enum THSButtonLayout { blGlyphLeft, blGlyphRight, blGlyphTop, blGlyphBottom };

struct THSColorSet {
  TColor Color, LightColor, ShadowColor, ColorWhenDown, HotTrackColor;
};
extern const THSColorSet ColorStyleColors[4];

TColor ShiftColor(TColor c, int amount);
TColor GrayColor(TColor c);
TColor HotTrackBlend(TColor c, TColor hot, int step);

// Vertical 32-step gradient over (x1, y1, x2, y2); direction 0 runs from p at
// the top to q at the bottom, 2 the other way. Corners are cut with radius r:
// the top ones when y1 <= 1, the bottom ones otherwise.
void FillGradientBand(TCanvas32& canvas, TColor p, TColor q, int x1, int y1, int x2, int y2, int r,
                      int direction);
// Box filter of radius r along rows, then columns, written in place.
void SmoothImage(TBitmap32& image, int r);
// Draws cell (sx, sy, cw, ch) of the strip at (x, y); the copy's bottom-left
// pixel is the see-through colour; a cell beyond the strip shows cell 0.
void DrawGlyphCell(TCanvas32& canvas, const TBitmap32& glyph, int x, int y, int sx, int sy, int cw, int ch);

struct THSFaceParams {
  std::int16_t W = 0, H = 0;
  std::uint8_t Border = 1;
  std::int16_t Step = 0;
  std::int16_t Smooth = 0;
  std::int16_t NumGlyphs = 0;
  const TBitmap32* Glyph = nullptr;  // may be null or empty
  bool Down = false;
  bool Over = false;
  bool Transparent = false;
  bool Enabled = true;
  bool Flat = false;
  bool WordWrap = false;
  bool HasPopup = false;
  THSButtonStyle Style = bsNormal;
  TColor Color = clBtnFace;
  TColor ColorWhenDown = clNone;
  TColor HotTrackColor = clNone;
  TColor LightColor = clWhite;
  TColor ShadowColor = clBlack;
  TFont Font;
  THSButtonLayout Layout = blGlyphLeft;
  std::wstring Caption;
  TAlignment Alignment = taCenter;
};

// The platform's services to the buttons: text, system colours, the screen's
// colour depth and the message-loop timer. A parent (THSButtonParent) is given
// one and lends it to its buttons; the painter takes one as a parameter.
// THSPortableServices is the deterministic set (block font, classic scheme,
// 32 bits, no timer that ticks by itself); Windows has THSWin32Services
// (win/HSWinServices.h).
class THSTimerBackend;
class THSButtonServices {
 public:
  virtual ~THSButtonServices() = default;
  virtual THSTextEngine& Text() = 0;
  virtual TColor SysColor(int index) = 0;
  // Colour depth of the screen in bits per pixel.
  virtual int ScreenBitsPerPixel() = 0;
  // nullptr: timers do not tick by themselves (tests call Tick).
  virtual THSTimerBackend* Timers() = 0;
  // RGB of c: system colours through SysColor; RGB passes, none gives black.
  TColor ToRGB(TColor c);
};

class THSPortableServices : public THSButtonServices {
 public:
  THSTextEngine& Text() override { return BlockFontEngine(); }
  TColor SysColor(int index) override { return ClassicSysColor(index); }
  int ScreenBitsPerPixel() override { return 32; }
  THSTimerBackend* Timers() override { return nullptr; }
};
// One shared portable set (it keeps no state): what a button without a parent
// and a parent without services of its own use.
THSButtonServices& PortableButtonServices();

// The face's geometry, computed from the parameters before anything is drawn:
// where caption and glyph go, which glyph cell shows, and the font the caption
// is drawn in.
struct THSFaceLayout {
  std::wstring FittedCaption;  // the caption, cut to fit unless it wraps
  int TextX = 0, TextY = 0, TextH = 0, TextR = 0, Avail = 0;
  int GlyphX = 0, GlyphY = 0, SrcX = 0, CellW = 0, CellH = 0;
  TRect TextBox;        // the rectangle the caption is drawn (and clipped) in
  int Offset = 0;       // how far a pressed face moves its content
  bool Pressed = false; // drawn down: Down and Enabled
  TFont Font;           // the caption's font, colours still as given
};
THSFaceLayout LayoutButtonFace(const THSFaceParams& p, THSTextEngine& text);

// Draws the face into image (W x H, pre-filled with magenta for the
// see-through styles and for Transparent) with the services' text and colours;
// layout, when given, receives where caption and glyph went.
void PaintButtonFace(TBitmap32& image, const THSFaceParams& p, THSButtonServices& services,
                     THSFaceLayout* layout = nullptr);
// The same with the portable services (block font, classic scheme).
void PaintButtonFace(TBitmap32& image, const THSFaceParams& p, THSFaceLayout* layout = nullptr);

// The small arrow drawn for an attached popup menu, top-left corner at (x, y).
void DrawPopupArrow(TCanvas32& canvas, int x, int y);

// Periodic 30-ms timer of the user-interface message loop. The backend does
// the platform part; without one nothing ticks by itself and tests call Tick.
class THSButtonTimer;
class THSTimerBackend {
 public:
  virtual ~THSTimerBackend() = default;
  virtual void Start(THSButtonTimer& timer, unsigned intervalMs) = 0;
  virtual void Stop(THSButtonTimer& timer) = 0;
};

class THSButtonTimer {
 public:
  static constexpr unsigned Interval = 30;
  explicit THSButtonTimer(std::function<void()> DoNotify, THSTimerBackend* backend = nullptr);
  ~THSButtonTimer();
  THSButtonTimer(const THSButtonTimer&) = delete;
  THSButtonTimer& operator=(const THSButtonTimer&) = delete;

  void Start();
  void Suspend();
  bool Suspended() const { return FSuspended; }
  // One tick; the backend calls it from the message loop.
  void Tick();

 private:
  std::function<void()> FNotify;
  bool FSuspended = true;
  THSTimerBackend* FBackend = nullptr;  // the backend that runs it, if any
};

}  // namespace hs
