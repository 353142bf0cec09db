#include "HSButtons.h"

#include <algorithm>
#include <cmath>

namespace hs {

const THSColorSet ColorStyleColors[4] = {
    // Color     LightColor ShadowColor ColorWhenDown HotTrackColor
    {0xC0C0C0, 0xFFFFFF, 0xC0C0C0, 0xFFFFFF, 0xD0D0D0},  // lcsChrome
    {0x00AF00, 0x30FF30, 0x008000, 0xFFFFFF, 0x60CF60},  // lcsGreen
    {0x0000FF, 0xC0C0FF, 0x0000C0, 0xFFFFFF, 0x7070FF},  // lcsRed
    {0x00C0C0, 0x00FFFF, 0x008080, 0xFFFFFF, 0x00DFDF},  // lcsGold
};

// ---------------------------------------------------------------- services

TColor THSButtonServices::ToRGB(TColor c) {
  if ((c & 0xFF000000) == 0xFF000000) return SysColor(int(c & 0xFF)) & 0xFFFFFF;
  return ColorToRGB(c);
}

THSButtonServices& PortableButtonServices() {
  static THSPortableServices services;
  return services;
}

// ---------------------------------------------------------------- colours

TColor ShiftColor(TColor c, int amount) {
  c = ColorToRGB(c);
  auto ch = [amount](int v) { return std::clamp(v + amount, 0, 255); };
  return RGBColor(ch(RedOf(c)), ch(GreenOf(c)), ch(BlueOf(c)));
}

TColor GrayColor(TColor c) {
  c = ColorToRGB(c);
  int y = (RedOf(c) + GreenOf(c) + BlueOf(c)) / 3;
  return TColor(y) * 0x010101;
}

TColor HotTrackBlend(TColor c, TColor hot, int step) {
  c = ColorToRGB(c);
  hot = ColorToRGB(hot);
  const double f = step / 8.0;
  auto mix = [f](int a, int b) { return int(a * (1 - f) + b * f); };
  return RGBColor(mix(RedOf(c), RedOf(hot)), mix(GreenOf(c), GreenOf(hot)), mix(BlueOf(c), BlueOf(hot)));
}

// ---------------------------------------------------------------- gradient

void FillGradientBand(TCanvas32& canvas, TColor p, TColor q, int x1, int y1, int x2, int y2, int r,
                      int direction) {
  const int hb = y2 - y1;
  const bool topBand = y1 <= 1;
  const TColor a = ColorToRGB(direction == 2 ? q : p);
  const TColor b = ColorToRGB(direction == 2 ? p : q);
  double cr = RedOf(a), cg = GreenOf(a), cb = BlueOf(a);
  const double ir = (RedOf(b) - RedOf(a)) / 31.0;
  const double ig = (GreenOf(b) - GreenOf(a)) / 31.0;
  const double ib = (BlueOf(b) - BlueOf(a)) / 31.0;
  const int sh = hb / 32 + 1;
  auto inset = [r](int k) { return r - int(std::lround(std::sqrt(double(2 * r * k - k * k)))); };
  for (int i = 0; i < 32; ++i) {
    const int y = i * hb / 32;
    int d = 0;
    if (topBand) {
      if (y < r) d = inset(y);
    } else if (y > hb - r) {
      d = inset(hb - y - 1);
    }
    canvas.Brush.Color = RGBColor(int(cr), int(cg), int(cb));
    cr += ir;
    cg += ig;
    cb += ib;
    canvas.FillRect({x1 + d, y1 + y, x2 - d, std::min(y1 + y + sh, y2)});
  }
}

// ---------------------------------------------------------------- smoothing

void SmoothImage(TBitmap32& image, int r) {
  if (r <= 0 || image.Empty()) return;
  const int n = 2 * r + 1;
  const int w = image.Width(), h = image.Height();
  // Sums read the image as it is being written: each pixel already sees the
  // smoothed pixels before it, so the filter smears right and down.
  auto pass = [&](int lines, int len, auto at) {
    for (int line = 0; line < lines; ++line)
      for (int i = 0; i < len; ++i) {
        std::uint32_t& self = at(line, i);
        int sr = 0, sg = 0, sb = 0;
        for (int k = -r; k <= r; ++k) {
          int j = i + k;
          std::uint32_t v = (j < 0 || j >= len) ? self : at(line, j);
          sb += int(v & 0xFF);
          sg += int(v >> 8 & 0xFF);
          sr += int(v >> 16 & 0xFF);
        }
        self = (self & 0xFF000000u) | std::uint32_t(sr / n) << 16 | std::uint32_t(sg / n) << 8 |
               std::uint32_t(sb / n);
      }
  };
  pass(h, w, [&](int y, int x) -> std::uint32_t& { return image.Row(y)[x]; });
  pass(w, h, [&](int x, int y) -> std::uint32_t& { return image.Row(y)[x]; });
}

// ---------------------------------------------------------------- glyph

void DrawGlyphCell(TCanvas32& canvas, const TBitmap32& glyph, int x, int y, int sx, int sy, int cw, int ch) {
  if (glyph.Empty() || cw <= 0 || ch <= 0) return;
  TBitmap32 cell = glyph;
  cell.SetSize(cw, ch);
  // The strip drawn at (-sx, -sy) covers the cell where it has pixels; past
  // its end cell 0 stays.
  for (int cy = 0; cy < ch; ++cy) {
    int gy = cy + sy;
    if (gy < 0 || gy >= glyph.Height()) continue;
    for (int cx = 0; cx < cw; ++cx) {
      int gx = cx + sx;
      if (gx < 0 || gx >= glyph.Width()) continue;
      cell.Row(cy)[cx] = glyph.Row(gy)[gx];
    }
  }
  canvas.DrawTransparent(x, y, cell, cell.Pixel(0, ch - 1));
}

void DrawPopupArrow(TCanvas32& canvas, int x, int y) {
  // A 7 x 4 downward triangle in black.
  for (int row = 0; row < 4; ++row)
    for (int col = row; col < 7 - row; ++col) canvas.SetPixel(x + col, y + row, clBlack);
}

// ---------------------------------------------------------------- timer

THSButtonTimer::THSButtonTimer(std::function<void()> DoNotify, THSTimerBackend* backend)
    : FNotify(std::move(DoNotify)), FBackend(backend) {}

THSButtonTimer::~THSButtonTimer() { Suspend(); }

void THSButtonTimer::Start() {
  if (!FSuspended) return;
  FSuspended = false;
  if (FBackend) FBackend->Start(*this, Interval);
}

void THSButtonTimer::Suspend() {
  if (FSuspended) return;
  FSuspended = true;
  if (FBackend) FBackend->Stop(*this);
}

void THSButtonTimer::Tick() {
  // A tick already queued when the timer stopped is dropped.
  if (!FSuspended && FNotify) FNotify();
}

}  // namespace hs
