// The face painter: LayoutButtonFace places caption and glyph, one function
// per style draws background and frame, and PaintButtonFace puts the two
// together with caption, glyph and popup arrow on top.
#include <algorithm>
#include <cstddef>
#include <iterator>

#include "HSButtons.h"

namespace hs {

// ---------------------------------------------------------------- layout

namespace {

// Cuts the caption until it fits `avail` pixels (a wrapping caption breaks
// instead) and measures what is left.
void FitCaption(const THSFaceParams& p, THSTextEngine& text, int avail, THSFaceLayout& l) {
  l.Avail = avail;
  l.FittedCaption = p.Caption;
  std::wstring& caption = l.FittedCaption;
  if (!p.WordWrap)
    while (!caption.empty() && text.LineWidth(l.Font, caption) > avail) caption.pop_back();
  l.TextH = l.TextR = 0;
  text.Measure(l.Font, caption, avail, l.TextH, l.TextR);
}

// bsShape: glyph and caption centred on each other; the caption's box runs
// to the face's right and bottom edges.
void PlaceOnShape(const THSFaceParams& p, THSTextEngine& text, THSFaceLayout& l) {
  const int W = p.W, H = p.H, ofs = l.Offset;
  FitCaption(p, text, std::max(W - 8, 0), l);
  l.GlyphX = (W - l.CellW) / 2;
  l.GlyphY = (H - l.CellH) / 2;
  l.TextX = ofs;
  l.TextY = (H - l.TextH) / 2 + ofs;
  l.TextBox = {ofs, l.TextY, W, H};
}

// Glyph left or right of the caption.
void PlaceBeside(const THSFaceParams& p, THSTextEngine& text, THSFaceLayout& l) {
  const int W = p.W, H = p.H, ofs = l.Offset, gw = l.CellW;
  FitCaption(p, text, std::max(W - 8 - (gw > 0 ? gw + 4 : 0), 0), l);
  l.TextY = (H - l.TextH) / 2 + ofs;
  l.GlyphY = (H - l.CellH) / 2 + ofs;
  l.TextX = ofs + 4;
  const int tw = l.FittedCaption.empty() ? 0 : l.TextR + 4;
  if (p.Layout == blGlyphLeft) {
    if (gw > 0) l.TextX += gw + 4;
    l.GlyphX = ofs + 4;
    if (!p.WordWrap) {
      switch (p.Alignment) {
        case taLeftJustify: l.GlyphX = ofs + 4; break;
        case taRightJustify: l.GlyphX = W - 4 - gw - tw + ofs; break;
        case taCenter: l.GlyphX = (W - gw) / 2 + ofs - tw / 2; break;
      }
    }
  } else {
    l.GlyphX = l.TextX + tw;
    if (!p.WordWrap) {
      switch (p.Alignment) {
        case taLeftJustify: l.GlyphX = l.TextX + tw; break;
        case taRightJustify: l.GlyphX = W - 4 + ofs - gw; break;
        case taCenter: l.GlyphX = (W - gw) / 2 + ofs + tw / 2; break;
      }
    }
  }
}

// Glyph above or below the caption, the pair centred vertically.
void PlaceAboveOrBelow(const THSFaceParams& p, THSTextEngine& text, THSFaceLayout& l) {
  const int W = p.W, H = p.H, ofs = l.Offset, gw = l.CellW, gh = l.CellH;
  FitCaption(p, text, std::max(W - 8, 0), l);
  const int bh = l.TextH + (gh > 0 ? gh + 4 : 0);
  l.TextX = ofs + 4;
  if (p.Layout == blGlyphTop) {
    l.GlyphY = (H - bh) / 2 + ofs;
    l.TextY = (H - bh) / 2 + gh + ofs;
  } else {
    l.TextY = (H - bh) / 2 + ofs;
    l.GlyphY = (H - bh) / 2 + l.TextH + ofs;
  }
  switch (p.Alignment) {
    case taLeftJustify: l.GlyphX = ofs + 4; break;
    case taRightJustify: l.GlyphX = W - gw - 4 + ofs; break;
    default: l.GlyphX = (W - gw) / 2 + ofs; break;
  }
}

}  // namespace

THSFaceLayout LayoutButtonFace(const THSFaceParams& p, THSTextEngine& text) {
  THSFaceLayout l;
  l.Pressed = p.Down && p.Enabled;
  l.Offset = l.Pressed && p.Style != bsEncarta ? 2 : 0;
  l.Font = p.Font;
  if (p.Style == bsEncarta && l.Pressed) l.Font.Bold = true;

  // Cells: 0 normal, 1 disabled, 2 down, 3 hot (as far as the strip has them).
  const bool hasGlyph = p.Glyph && !p.Glyph->Empty();
  l.CellH = hasGlyph ? p.Glyph->Height() : 0;
  l.CellW = hasGlyph && p.NumGlyphs != 0 ? p.Glyph->Width() / p.NumGlyphs : 0;
  if (!p.Enabled) {
    l.SrcX = l.CellW;
  } else {
    if (p.Over && p.NumGlyphs > 3) l.SrcX = 3 * l.CellW;
    if (l.Pressed && p.NumGlyphs > 2) l.SrcX = 2 * l.CellW;
  }

  if (p.Style == bsShape) {
    PlaceOnShape(p, text, l);
    return l;
  }
  if (p.Layout == blGlyphLeft || p.Layout == blGlyphRight)
    PlaceBeside(p, text, l);
  else
    PlaceAboveOrBelow(p, text, l);
  l.TextBox = {l.TextX, l.TextY, l.TextX + l.Avail, l.TextY + l.TextH};
  if (!p.Enabled) l.Font.Color = clGray;
  return l;
}

// ---------------------------------------------------------------- styles

namespace {

// The face's colours with system colours resolved.
struct TFaceColors {
  TColor Fill, Light, Shadow, Light3D, DkShadow3D;
};

TFaceColors FaceColors(const THSFaceParams& p, bool pressed, THSButtonServices& s) {
  TFaceColors c;
  c.Fill = s.ToRGB(p.Color);
  if (p.Enabled && p.HotTrackColor != clNone) c.Fill = HotTrackBlend(c.Fill, s.ToRGB(p.HotTrackColor), p.Step);
  if (pressed && p.ColorWhenDown != clNone) c.Fill = s.ToRGB(p.ColorWhenDown);
  c.Light = s.ToRGB(p.LightColor);
  c.Shadow = s.ToRGB(p.ShadowColor);
  c.Light3D = s.ToRGB(cl3DLight);
  c.DkShadow3D = s.ToRGB(cl3DDkShadow);
  return c;
}

// What a style's drawing works with. Each style draws its background (unless
// the face is transparent) and its frame, and leaves the brush clear.
struct TFaceDraw {
  TBitmap32& Image;
  TCanvas32& Canvas;
  const THSFaceParams& P;
  const THSFaceLayout& L;
  const TFaceColors& C;
  int W, H;
};

void FillWhole(TFaceDraw& d, TColor color) {
  d.Canvas.Brush.Color = color;
  d.Canvas.Brush.Clear = false;
  d.Canvas.Rectangle(-1, -1, d.W + 1, d.H + 1);
}

// The rectangular styles show their frame unless flat, and a flat one while
// hot or pressed.
bool FrameShows(const TFaceDraw& d) { return !d.P.Flat || (d.P.Enabled && (d.P.Over || d.L.Pressed)); }

// bsNormal, bsEncarta: a filled rectangle in a bevel Border pixels wide.
void DrawBevelFace(TFaceDraw& d) {
  TCanvas32& cv = d.Canvas;
  const bool down = d.L.Pressed;
  if (!d.P.Transparent) FillWhole(d, d.C.Fill);
  cv.Brush.Clear = true;
  if (FrameShows(d)) {
    for (int k = 0; k < d.P.Border; ++k) {
      cv.Pen.Color = down ? d.C.Shadow : d.C.Light;
      cv.MoveTo(k, d.H - k - 1);
      cv.LineTo(k, k);
      cv.LineTo(d.W - k - 1, k);
      cv.Pen.Color = down ? d.C.Light : d.C.Shadow;
      cv.LineTo(d.W - k - 1, d.H - k - 1);
      cv.LineTo(k, d.H - k - 1);
    }
  }
  if (d.P.Smooth > 0) SmoothImage(d.Image, d.P.Smooth);
}

// bsOld: the classic 3-D push button, a shadow line inside the 3-D edge.
void DrawOldFace(TFaceDraw& d) {
  TCanvas32& cv = d.Canvas;
  const bool down = d.L.Pressed;
  const int W = d.W, H = d.H;
  if (!d.P.Transparent) FillWhole(d, d.C.Fill);
  cv.Brush.Clear = true;
  if (FrameShows(d)) {
    cv.Pen.Color = d.C.Shadow;
    if (down) {
      cv.MoveTo(1, H - 3);
      cv.LineTo(1, 1);
      cv.LineTo(W - 2, 1);
    } else {
      cv.MoveTo(W - 2, 0);
      cv.LineTo(W - 2, H - 2);
      cv.LineTo(0, H - 2);
    }
    cv.Pen.Color = down ? d.C.DkShadow3D : d.C.Light3D;
    cv.MoveTo(0, H - 1);
    cv.LineTo(0, 0);
    cv.LineTo(W - 1, 0);
    cv.Pen.Width = 3;
    cv.Pen.Color = down ? d.C.Light3D : d.C.DkShadow3D;
    cv.LineTo(W - 1, H - 1);
    cv.LineTo(-1, H - 1);
    cv.Pen.Width = 1;
  }
  if (d.P.Smooth > 0) SmoothImage(d.Image, d.P.Smooth);
}

// The rounded outline of bsModern and bsGlass.
void DrawRoundOutline(TFaceDraw& d) {
  if (d.P.Flat) return;
  d.Canvas.Pen.Color = d.L.Pressed ? d.C.Shadow : d.C.Fill;
  d.Canvas.RoundRect(0, 0, d.W, d.H, 2 * d.P.Border, 2 * d.P.Border);
}

// bsModern: fill to light over the top quarter, light back to fill below.
void DrawModernFace(TFaceDraw& d) {
  if (!d.P.Transparent) {
    const int q = d.H / 4 + d.L.Offset, border = d.P.Border;
    FillGradientBand(d.Canvas, d.C.Fill, d.C.Light, 0, 0, d.W, q, border, 0);
    FillGradientBand(d.Canvas, d.C.Light, d.C.Fill, 0, q, d.W, d.H, border, 0);
  }
  d.Canvas.Brush.Clear = true;
  DrawRoundOutline(d);
}

// bsGlass: a dimmed light upper half over a fill-to-light lower half.
void DrawGlassFace(TFaceDraw& d) {
  if (!d.P.Transparent) {
    const int m = d.H / 2 + d.L.Offset, border = d.P.Border;
    const TColor dim = ShiftColor(d.C.Light, -32);
    FillGradientBand(d.Canvas, d.C.Light, dim, 0, 0, d.W, m, border, 0);
    FillGradientBand(d.Canvas, d.C.Fill, d.C.Light, 0, m, d.W, d.H, border, 0);
    if (!d.P.Flat) {
      d.Canvas.SetPixel(1, m, dim);
      d.Canvas.SetPixel(d.W - 2, m, dim);
    }
  }
  d.Canvas.Brush.Clear = true;
  DrawRoundOutline(d);
}

// bsQuicken: a rounded fill (also when transparent) between two shadow lines.
void DrawQuickenFace(TFaceDraw& d) {
  TCanvas32& cv = d.Canvas;
  const int border = d.P.Border;
  cv.Pen.Style = psClear;
  cv.Brush.Clear = false;
  cv.Brush.Color = d.C.Fill;
  cv.RoundRect(0, 1, d.W, d.H, 2 * border, 2 * border);
  cv.Brush.Clear = true;
  cv.Pen.Style = psSolid;
  cv.Pen.Color = d.C.Shadow;
  cv.MoveTo(border, 0);
  cv.LineTo(d.W - border - 1, 0);
  cv.MoveTo(border, d.H - 1);
  cv.LineTo(d.W - border - 1, d.H - 1);
}

// bsShape: only caption and glyph show; the rest is see-through.
void DrawShapeFace(TFaceDraw& d) {
  FillWhole(d, clFuchsia);
  d.Canvas.Brush.Clear = true;
}

using TStyleDrawing = void (*)(TFaceDraw&);
// By THSButtonStyle.
constexpr TStyleDrawing kStyleDrawing[] = {
    DrawBevelFace,   // bsNormal
    DrawBevelFace,   // bsEncarta
    DrawModernFace,  // bsModern
    DrawOldFace,     // bsOld
    DrawShapeFace,   // bsShape
    DrawQuickenFace, // bsQuicken
    DrawGlassFace,   // bsGlass
};

// Caption and glyph; on a shape the caption goes over the glyph.
void DrawContent(TFaceDraw& d, THSButtonServices& s) {
  TCanvas32& cv = d.Canvas;
  const THSFaceLayout& l = d.L;
  cv.Font = l.Font;
  cv.Font.Color = s.ToRGB(l.Font.Color);
  const bool hasGlyph = d.P.Glyph && !d.P.Glyph->Empty();
  auto glyph = [&] {
    if (hasGlyph) DrawGlyphCell(cv, *d.P.Glyph, l.GlyphX, l.GlyphY, l.SrcX, 0, l.CellW, l.CellH);
  };
  if (d.P.Style == bsShape) {
    glyph();
    cv.TextRect(l.TextBox, l.FittedCaption, taCenter);
  } else {
    cv.TextRect(l.TextBox, l.FittedCaption, d.P.Alignment);
    glyph();
  }
}

}  // namespace

// ---------------------------------------------------------------- the face

void PaintButtonFace(TBitmap32& image, const THSFaceParams& p, THSButtonServices& services,
                     THSFaceLayout* layout) {
  const int W = p.W, H = p.H;
  if (W <= 0 || H <= 0) return;
  THSTextEngine& text = services.Text();
  const THSFaceLayout l = LayoutButtonFace(p, text);
  const TFaceColors colors = FaceColors(p, l.Pressed, services);
  TCanvas32 canvas(image, text);
  TFaceDraw d{image, canvas, p, l, colors, W, H};
  if (static_cast<std::size_t>(p.Style) < std::size(kStyleDrawing)) kStyleDrawing[p.Style](d);
  DrawContent(d, services);
  if (p.HasPopup) DrawPopupArrow(canvas, W - 11, H / 2 - 1);
  if (layout) *layout = l;
}

void PaintButtonFace(TBitmap32& image, const THSFaceParams& p, THSFaceLayout* layout) {
  PaintButtonFace(image, p, PortableButtonServices(), layout);
}

}  // namespace hs
