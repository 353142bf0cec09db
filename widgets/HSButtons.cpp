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

namespace {
TScreenDepthSource g_screenDepth = nullptr;
THSTimerBackend* g_timerBackend = nullptr;
}  // namespace

void SetScreenDepthSource(TScreenDepthSource source) { g_screenDepth = source; }
int ScreenBitsPerPixel() { return g_screenDepth ? g_screenDepth() : 32; }

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

// ---------------------------------------------------------------- the face

void PaintButtonFace(TBitmap32& image, const THSFaceParams& p, THSFaceLayout* layout) {
  TCanvas32 canvas(image);
  const int W = p.W, H = p.H;
  if (W <= 0 || H <= 0) return;
  THSTextEngine& text = TextEngine();

  // Preparation.
  const bool down = p.Down && p.Enabled;
  const int ofs = down && p.Style != bsEncarta ? 2 : 0;
  TColor fill = ColorToRGB(p.Color);
  if (p.Enabled && p.HotTrackColor != clNone) fill = HotTrackBlend(p.Color, p.HotTrackColor, p.Step);
  if (down && p.ColorWhenDown != clNone) fill = ColorToRGB(p.ColorWhenDown);
  const int border = p.Border;

  // Background.
  if (p.Style == bsShape) {
    canvas.Brush.Color = clFuchsia;
    canvas.Brush.Clear = false;
    canvas.Rectangle(-1, -1, W + 1, H + 1);
  } else if (!p.Transparent) {
    canvas.Brush.Color = fill;
    canvas.Brush.Clear = false;
    switch (p.Style) {
      case bsNormal:
      case bsEncarta:
      case bsOld:
        canvas.Rectangle(-1, -1, W + 1, H + 1);
        break;
      case bsModern: {
        const int q = H / 4 + ofs;
        FillGradientBand(canvas, fill, p.LightColor, 0, 0, W, q, border, 0);
        FillGradientBand(canvas, p.LightColor, fill, 0, q, W, H, border, 0);
        break;
      }
      case bsGlass: {
        const int m = H / 2 + ofs;
        const TColor dim = ShiftColor(p.LightColor, -32);
        FillGradientBand(canvas, p.LightColor, dim, 0, 0, W, m, border, 0);
        FillGradientBand(canvas, fill, p.LightColor, 0, m, W, H, border, 0);
        if (!p.Flat) {
          canvas.SetPixel(1, m, dim);
          canvas.SetPixel(W - 2, m, dim);
        }
        break;
      }
      default:
        break;
    }
  }
  canvas.Brush.Clear = true;

  // Frame.
  switch (p.Style) {
    case bsNormal:
    case bsEncarta:
    case bsOld:
      if (!p.Flat || (p.Enabled && (p.Over || down))) {
        if (p.Style == bsOld) {
          canvas.Pen.Color = p.ShadowColor;
          if (down) {
            canvas.MoveTo(1, H - 3);
            canvas.LineTo(1, 1);
            canvas.LineTo(W - 2, 1);
          } else {
            canvas.MoveTo(W - 2, 0);
            canvas.LineTo(W - 2, H - 2);
            canvas.LineTo(0, H - 2);
          }
          canvas.Pen.Color = down ? cl3DDkShadow : cl3DLight;
          canvas.MoveTo(0, H - 1);
          canvas.LineTo(0, 0);
          canvas.LineTo(W - 1, 0);
          canvas.Pen.Width = 3;
          canvas.Pen.Color = down ? cl3DLight : cl3DDkShadow;
          canvas.LineTo(W - 1, H - 1);
          canvas.LineTo(-1, H - 1);
          canvas.Pen.Width = 1;
        } else {
          for (int k = 0; k < border; ++k) {
            canvas.Pen.Color = down ? p.ShadowColor : p.LightColor;
            canvas.MoveTo(k, H - k - 1);
            canvas.LineTo(k, k);
            canvas.LineTo(W - k - 1, k);
            canvas.Pen.Color = down ? p.LightColor : p.ShadowColor;
            canvas.LineTo(W - k - 1, H - k - 1);
            canvas.LineTo(k, H - k - 1);
          }
        }
      }
      if (p.Smooth > 0) SmoothImage(image, p.Smooth);
      break;
    case bsModern:
    case bsGlass:
      if (!p.Flat) {
        canvas.Pen.Color = down ? p.ShadowColor : fill;
        canvas.RoundRect(0, 0, W, H, 2 * border, 2 * border);
      }
      break;
    case bsQuicken:
      canvas.Pen.Style = psClear;
      canvas.Brush.Clear = false;
      canvas.Brush.Color = fill;
      canvas.RoundRect(0, 1, W, H, 2 * border, 2 * border);
      canvas.Brush.Clear = true;
      canvas.Pen.Style = psSolid;
      canvas.Pen.Color = p.ShadowColor;
      canvas.MoveTo(border, 0);
      canvas.LineTo(W - border - 1, 0);
      canvas.MoveTo(border, H - 1);
      canvas.LineTo(W - border - 1, H - 1);
      break;
    case bsShape:
      break;
  }

  // Font and glyph cell.
  canvas.Font = p.Font;
  if (p.Style == bsEncarta && down) canvas.Font.Bold = true;
  const bool hasGlyph = p.Glyph && !p.Glyph->Empty();
  const int gh = hasGlyph ? p.Glyph->Height() : 0;
  const int gw = hasGlyph && p.NumGlyphs != 0 ? p.Glyph->Width() / p.NumGlyphs : 0;
  int srcX = 0;
  if (!p.Enabled) {
    srcX = gw;
  } else {
    if (p.Over && p.NumGlyphs > 3) srcX = 3 * gw;
    if (down && p.NumGlyphs > 2) srcX = 2 * gw;
  }

  // Caption fitting and measuring.
  std::wstring caption = p.Caption;
  int textH = 0, textR = 0;
  auto fitAndMeasure = [&](int a) {
    if (!p.WordWrap)
      while (!caption.empty() && text.LineWidth(canvas.Font, caption) > a) caption.pop_back();
    textH = textR = 0;
    text.Measure(canvas.Font, caption, a, textH, textR);
  };

  THSFaceLayout out;

  if (p.Style == bsShape) {
    const int avail = std::max(W - 8, 0);
    fitAndMeasure(avail);
    const int glyphX = (W - gw) / 2, glyphY = (H - gh) / 2;
    if (hasGlyph) DrawGlyphCell(canvas, *p.Glyph, glyphX, glyphY, srcX, 0, gw, gh);
    const int textY = (H - textH) / 2 + ofs;
    canvas.TextRect({ofs, textY, W, H}, caption, taCenter);
    out = {caption, ofs, textY, textH, textR, avail, glyphX, glyphY, srcX, gw, gh};
  } else {
    int avail, textX, textY, glyphX, glyphY;
    if (p.Layout == blGlyphLeft || p.Layout == blGlyphRight) {
      avail = std::max(W - 8 - (gw > 0 ? gw + 4 : 0), 0);
      fitAndMeasure(avail);
      textY = (H - textH) / 2 + ofs;
      glyphY = (H - gh) / 2 + ofs;
      textX = ofs + 4;
      const int tw = caption.empty() ? 0 : textR + 4;
      if (p.Layout == blGlyphLeft) {
        if (gw > 0) textX += gw + 4;
        glyphX = ofs + 4;
        if (!p.WordWrap) {
          switch (p.Alignment) {
            case taLeftJustify: glyphX = ofs + 4; break;
            case taRightJustify: glyphX = W - 4 - gw - tw + ofs; break;
            case taCenter: glyphX = (W - gw) / 2 + ofs - tw / 2; break;
          }
        }
      } else {
        glyphX = textX + tw;
        if (!p.WordWrap) {
          switch (p.Alignment) {
            case taLeftJustify: glyphX = textX + tw; break;
            case taRightJustify: glyphX = W - 4 + ofs - gw; break;
            case taCenter: glyphX = (W - gw) / 2 + ofs + tw / 2; break;
          }
        }
      }
    } else {
      avail = std::max(W - 8, 0);
      fitAndMeasure(avail);
      const int bh = textH + (gh > 0 ? gh + 4 : 0);
      textX = ofs + 4;
      if (p.Layout == blGlyphTop) {
        glyphY = (H - bh) / 2 + ofs;
        textY = (H - bh) / 2 + gh + ofs;
      } else {
        textY = (H - bh) / 2 + ofs;
        glyphY = (H - bh) / 2 + textH + ofs;
      }
      switch (p.Alignment) {
        case taLeftJustify: glyphX = ofs + 4; break;
        case taRightJustify: glyphX = W - gw - 4 + ofs; break;
        default: glyphX = (W - gw) / 2 + ofs; break;
      }
    }
    if (!p.Enabled) canvas.Font.Color = clGray;
    canvas.TextRect({textX, textY, textX + avail, textY + textH}, caption, p.Alignment);
    if (hasGlyph) DrawGlyphCell(canvas, *p.Glyph, glyphX, glyphY, srcX, 0, gw, gh);
    out = {caption, textX, textY, textH, textR, avail, glyphX, glyphY, srcX, gw, gh};
  }

  if (p.HasPopup) DrawPopupArrow(canvas, W - 11, H / 2 - 1);
  if (layout) *layout = out;
}

// ---------------------------------------------------------------- timer

void SetTimerBackend(THSTimerBackend* backend) { g_timerBackend = backend; }

THSButtonTimer::THSButtonTimer(std::function<void()> DoNotify) : FNotify(std::move(DoNotify)) {}

THSButtonTimer::~THSButtonTimer() { Suspend(); }

void THSButtonTimer::Start() {
  if (!FSuspended) return;
  FSuspended = false;
  FBackend = g_timerBackend;
  if (FBackend) FBackend->Start(*this, Interval);
}

void THSButtonTimer::Suspend() {
  if (FSuspended) return;
  FSuspended = true;
  if (FBackend) FBackend->Stop(*this);
  FBackend = nullptr;
}

void THSButtonTimer::Tick() {
  // A tick already queued when the timer stopped is dropped.
  if (!FSuspended && FNotify) FNotify();
}

}  // namespace hs
