// Face painter geometry: rows, corners, offsets, caption and glyph placement.
// The native text engine is the block font: advance (Height + 1) / 2, line
// height Height, a character is a block over rows 2 .. Height - 3 of its line.
#include <gtest/gtest.h>

#include <cstdlib>

#include "HSButtons.h"

using namespace hs;

namespace {

constexpr TColor kGreen = 0x00AF00, kGreenLight = 0x30FF30, kGreenShadow = 0x008000;
constexpr TColor kInk = 0x0000FF;  // caption colour used by the tests

THSFaceParams ModernGreen(int w = 77, int h = 45) {
  THSFaceParams p;
  p.W = std::int16_t(w);
  p.H = std::int16_t(h);
  p.Style = bsModern;
  p.Border = 1;
  p.Color = kGreen;
  p.LightColor = kGreenLight;
  p.ShadowColor = kGreenShadow;
  p.ColorWhenDown = clNone;
  p.HotTrackColor = 0x60CF60;
  p.Font.Height = 16;
  p.Font.Color = kInk;
  return p;
}

TBitmap32 Paint(const THSFaceParams& p, THSFaceLayout* layout = nullptr) {
  TBitmap32 img(p.W, p.H, clBlack);
  bool prefill = p.Transparent || p.Style == bsModern || p.Style == bsShape || p.Style == bsQuicken ||
                 p.Style == bsGlass;
  if (prefill) img.Fill(clFuchsia);
  PaintButtonFace(img, p, layout);
  return img;
}

// Colour of step i of a 32-step gradient from a to b.
TColor Step(TColor a, TColor b, int i) {
  auto ch = [i](int x, int y) { return int(x + i * ((y - x) / 31.0)); };
  return RGBColor(ch(RedOf(a), RedOf(b)), ch(GreenOf(a), GreenOf(b)), ch(BlueOf(a), BlueOf(b)));
}

bool Near(TColor a, TColor b, int tol = 1) {
  return std::abs(RedOf(a) - RedOf(b)) <= tol && std::abs(GreenOf(a) - GreenOf(b)) <= tol &&
         std::abs(BlueOf(a) - BlueOf(b)) <= tol;
}

int CountInk(const TBitmap32& img, TColor ink, TRect r) {
  int n = 0;
  for (int y = r.Top; y < r.Bottom; ++y)
    for (int x = r.Left; x < r.Right; ++x) n += img.Pixel(x, y) == ink;
  return n;
}

// A strip of n 16 x 16 cells: key colour around an 8 x 8 block of colour[i].
TBitmap32 Strip(int n, const TColor* colours, TColor key = 0x123456) {
  TBitmap32 g(16 * n, 16, key);
  for (int i = 0; i < n; ++i)
    for (int y = 4; y < 12; ++y)
      for (int x = 4; x < 12; ++x) g.SetPixel(16 * i + x, y, colours[i]);
  return g;
}

}  // namespace

TEST(ModernFace, RestRowsFollowTheTwoGradientBands) {
  TBitmap32 img = Paint(ModernGreen());
  // Top band rows 0..10 (q = 11), one row per step: each row shows the last
  // step i with i * 11 div 32 equal to it.
  for (int row = 1; row <= 10; ++row) {
    int last = 0;
    for (int i = 0; i < 32; ++i)
      if (i * 11 / 32 == row) last = i;
    EXPECT_TRUE(Near(img.Pixel(38, row), Step(kGreen, kGreenLight, last))) << "row " << row;
  }
  EXPECT_TRUE(Near(img.Pixel(38, 10), kGreenLight));
  EXPECT_EQ(img.Pixel(38, 11), kGreenLight) << "the lower band starts exactly at the light colour";
  EXPECT_TRUE(Near(img.Pixel(38, 43), kGreen));
  for (int row = 12; row < 44; ++row)
    EXPECT_LE(GreenOf(img.Pixel(38, row)), GreenOf(img.Pixel(38, row - 1))) << "darkening down to row " << row;
  // Outline in the fill colour, corners of row 0 see-through.
  EXPECT_EQ(img.Pixel(0, 0), clFuchsia);
  EXPECT_EQ(img.Pixel(76, 0), clFuchsia);
  EXPECT_EQ(img.Pixel(1, 0), kGreen);
  EXPECT_EQ(img.Pixel(38, 0), kGreen);
  EXPECT_EQ(img.Pixel(0, 22), kGreen);
  EXPECT_EQ(img.Pixel(76, 22), kGreen);
  EXPECT_EQ(img.Pixel(38, 44), kGreen);
}

TEST(ModernFace, FlatKeepsCornerInsetsButDropsTheOutline) {
  THSFaceParams p = ModernGreen();
  p.Flat = true;
  TBitmap32 img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 0), clFuchsia);
  EXPECT_EQ(img.Pixel(76, 0), clFuchsia);
  EXPECT_NE(img.Pixel(1, 0), clFuchsia);
  EXPECT_NE(img.Pixel(0, 1), clFuchsia);
  // The lower band never insets: its row offset reaches 32, the inset would start above 33.
  EXPECT_NE(img.Pixel(0, 44), clFuchsia);
  EXPECT_NE(img.Pixel(76, 44), clFuchsia);
  EXPECT_TRUE(Near(img.Pixel(0, 22), img.Pixel(38, 22), 0)) << "no outline colour on the side";
}

TEST(ModernFace, DownMovesSplitCaptionAndOutline) {
  THSFaceParams p = ModernGreen();
  p.Caption = L"1";
  THSFaceLayout up, dn;
  TBitmap32 rest = Paint(p, &up);
  p.Down = true;
  TBitmap32 down = Paint(p, &dn);
  EXPECT_EQ(rest.Pixel(38, 11), kGreenLight);
  EXPECT_NE(down.Pixel(38, 11), kGreenLight) << "row 11 is still in the top band when down";
  EXPECT_EQ(down.Pixel(38, 13), kGreenLight) << "the split moves to row 13";
  EXPECT_EQ(down.Pixel(0, 22), kGreenShadow) << "outline in the shadow colour while down";
  // ColorWhenDown none keeps the normal fill. The lower band is 32 rows high
  // now, two rows per step, so row 43 shows step 30.
  EXPECT_TRUE(Near(down.Pixel(38, 43), Step(kGreenLight, kGreen, 30)));
  EXPECT_EQ(up.TextX, 4);
  EXPECT_EQ(up.TextY, 14);
  EXPECT_EQ(dn.TextX, 6);
  EXPECT_EQ(dn.TextY, 16);
}

TEST(ModernFace, CaptionCentredBetweenTheMargins) {
  // Line height 16 on a 45-pixel button: textY 14; centred within the 69
  // pixels from x 4 to 73 (one 8-pixel character at x 34).
  THSFaceParams p = ModernGreen();
  p.Caption = L"1";
  THSFaceLayout l;
  TBitmap32 img = Paint(p, &l);
  EXPECT_EQ(l.Avail, 69);
  EXPECT_EQ(l.TextH, 16);
  EXPECT_EQ(CountInk(img, kInk, {0, 0, 77, 45}), 7 * 12);
  EXPECT_EQ(img.Pixel(34, 16), kInk);
  EXPECT_EQ(img.Pixel(40, 27), kInk);
  EXPECT_NE(img.Pixel(33, 16), kInk);
  EXPECT_NE(img.Pixel(41, 16), kInk);
  EXPECT_NE(img.Pixel(34, 15), kInk);
  EXPECT_NE(img.Pixel(34, 28), kInk);

  p.Down = true;
  img = Paint(p);
  EXPECT_EQ(img.Pixel(36, 18), kInk);
  EXPECT_EQ(img.Pixel(42, 29), kInk);
  EXPECT_NE(img.Pixel(35, 18), kInk);

  // On a 40-pixel button the text area is 32 pixels wide: x 4 + (32 - 8) / 2.
  THSFaceParams n = ModernGreen(40, 45);
  n.Caption = L"L";
  img = Paint(n, &l);
  EXPECT_EQ(l.Avail, 32);
  EXPECT_EQ(img.Pixel(16, 16), kInk);
  EXPECT_NE(img.Pixel(15, 16), kInk);
  EXPECT_EQ(img.Pixel(22, 16), kInk);
  EXPECT_NE(img.Pixel(23, 16), kInk);
}

TEST(ModernFace, SevenPixelButtonRoundsTheLowerBandAtItsTop) {
  THSFaceParams p = ModernGreen(30, 7);
  p.Flat = true;
  TBitmap32 img = Paint(p);
  // q = 1: the lower band starts at row 1, counts as a top band, rounds its
  // top corners and keeps its bottom corners square.
  EXPECT_EQ(img.Pixel(0, 0), clFuchsia);
  EXPECT_EQ(img.Pixel(0, 1), clFuchsia);
  EXPECT_EQ(img.Pixel(29, 1), clFuchsia);
  EXPECT_NE(img.Pixel(1, 1), clFuchsia);
  EXPECT_NE(img.Pixel(0, 2), clFuchsia);
  EXPECT_NE(img.Pixel(0, 6), clFuchsia);
  EXPECT_NE(img.Pixel(29, 6), clFuchsia);
}

TEST(ModernFace, HotTrackMixesAndDownColourWins) {
  THSFaceParams p = ModernGreen();
  p.Step = 4;
  EXPECT_EQ(Paint(p).Pixel(0, 22), 0x30BF30u) << "outline in the blended fill";
  p.Step = 8;
  EXPECT_EQ(Paint(p).Pixel(0, 22), 0x60CF60u);
  p.HotTrackColor = clNone;
  EXPECT_EQ(Paint(p).Pixel(0, 22), kGreen) << "no hot colour, no hot effect";
  p.HotTrackColor = 0x60CF60;
  p.Down = true;
  p.ColorWhenDown = clWhite;
  TBitmap32 img = Paint(p);
  EXPECT_TRUE(Near(img.Pixel(38, 43), Step(kGreenLight, clWhite, 30)));
  EXPECT_EQ(img.Pixel(0, 22), kGreenShadow);
}

TEST(Face, DisabledIsUpUnblendedAndGrey) {
  THSFaceParams p = ModernGreen();
  p.Caption = L"1";
  p.Enabled = false;
  p.Down = true;
  p.Step = 8;
  p.ColorWhenDown = clWhite;
  THSFaceLayout l;
  TBitmap32 img = Paint(p, &l);
  EXPECT_EQ(img.Pixel(0, 22), kGreen) << "no hot mixing, outline not in the shadow colour";
  EXPECT_EQ(img.Pixel(38, 11), kGreenLight) << "split not moved";
  EXPECT_EQ(l.TextY, 14);
  EXPECT_EQ(img.Pixel(34, 16), clGray);
  EXPECT_EQ(CountInk(img, kInk, {0, 0, 77, 45}), 0);
}

TEST(Face, TransparentNormalDrawsOnlyFrameAndCaption) {
  THSFaceParams p;
  p.W = 40;
  p.H = 30;
  p.Style = bsNormal;
  p.Transparent = true;
  p.Font.Height = 10;
  p.Font.Color = kInk;
  p.Caption = L"A";
  TBitmap32 img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 0), clWhite);
  EXPECT_EQ(img.Pixel(39, 29), clBlack);
  EXPECT_EQ(img.Pixel(39, 5), clBlack);
  EXPECT_EQ(img.Pixel(5, 5), clFuchsia);
  EXPECT_EQ(img.Pixel(30, 20), clFuchsia);
  EXPECT_GT(CountInk(img, kInk, {0, 0, 40, 30}), 0);
}

TEST(Face, NormalFrameRingsSwapWhileDownAndHideWhenFlatAndIdle) {
  THSFaceParams p;
  p.W = 20;
  p.H = 12;
  p.Style = bsNormal;
  p.Border = 2;
  p.Color = 0x808080;
  TBitmap32 img = Paint(p);
  EXPECT_EQ(img.Pixel(1, 5), clWhite);   // second ring, left
  EXPECT_EQ(img.Pixel(18, 5), clBlack);  // second ring, right
  EXPECT_EQ(img.Pixel(5, 2), 0x808080u);
  p.Down = true;
  img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 5), clBlack);
  EXPECT_EQ(img.Pixel(19, 5), clWhite);
  p.Flat = true;   // pressed, with the mouse elsewhere: the pressed frame still shows
  img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 5), clBlack);
  EXPECT_EQ(img.Pixel(19, 5), clWhite);
  p.Down = false;
  img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 5), 0x808080u);
  p.Over = true;
  img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 5), clWhite);
  p.Enabled = false;  // a disabled flat button shows no frame even under the mouse
  img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 5), 0x808080u);
}

TEST(Face, ShapeIsSeeThroughWithCentredCaption) {
  const TColor cells[] = {0x00FF00};
  TBitmap32 glyph = Strip(1, cells);
  THSFaceParams p;
  p.W = 40;
  p.H = 30;
  p.Style = bsShape;
  p.Font.Height = 10;
  p.Font.Color = kInk;
  p.Caption = L"AB";
  p.Alignment = taLeftJustify;  // ignored: always centred
  p.Glyph = &glyph;
  p.NumGlyphs = 1;
  THSFaceLayout l;
  TBitmap32 img = Paint(p, &l);
  EXPECT_EQ(img.Pixel(0, 0), clFuchsia);
  EXPECT_EQ(img.Pixel(39, 29), clFuchsia);
  EXPECT_EQ(img.Pixel(2, 15), clFuchsia);
  // Caption centred over the whole width: 10 pixels at x 15.
  EXPECT_EQ(l.TextY, 10);
  EXPECT_EQ(img.Pixel(15, 12), kInk);
  EXPECT_NE(img.Pixel(14, 12), kInk);
  // Glyph centred, key colour left out, block drawn before the caption.
  EXPECT_EQ(img.Pixel(12 + 4, 7 + 4), 0x00FF00u);
  EXPECT_EQ(img.Pixel(12, 7), clFuchsia);

  p.Down = true;
  img = Paint(p, &l);
  EXPECT_EQ(l.TextY, 12);
  EXPECT_EQ(l.TextX, 2);
  EXPECT_EQ(l.GlyphX, 12) << "the glyph does not move";
  p.Down = false;
  p.Enabled = false;
  img = Paint(p);
  EXPECT_GT(CountInk(img, kInk, {0, 0, 40, 30}), 0) << "no grey caption in bsShape";
}

TEST(Face, QuickenIsDrawnAlsoWhenFlat) {
  THSFaceParams p;
  p.W = 30;
  p.H = 20;
  p.Style = bsQuicken;
  p.Border = 3;
  p.Color = 0x00C0C0;
  p.ShadowColor = 0x008080;
  p.Flat = true;
  TBitmap32 img = Paint(p);
  EXPECT_EQ(img.Pixel(15, 10), 0x00C0C0u);
  EXPECT_EQ(img.Pixel(3, 0), 0x008080u);
  EXPECT_EQ(img.Pixel(25, 0), 0x008080u);
  EXPECT_EQ(img.Pixel(26, 0), clFuchsia);
  EXPECT_EQ(img.Pixel(2, 0), clFuchsia);
  EXPECT_EQ(img.Pixel(15, 19), 0x008080u);
  EXPECT_EQ(img.Pixel(0, 1), clFuchsia) << "rounded corner";
  EXPECT_EQ(img.Pixel(0, 10), 0x00C0C0u);
}

TEST(Face, GlassBandsAndMiddlePixels) {
  THSFaceParams p;
  p.W = 30;
  p.H = 20;
  p.Style = bsGlass;
  p.Color = 0x800000;
  p.LightColor = 0xF0F0F0;
  TBitmap32 img = Paint(p);
  const TColor dim = 0xD0D0D0;
  EXPECT_EQ(img.Pixel(1, 10), dim);
  EXPECT_EQ(img.Pixel(28, 10), dim);
  // Four steps fall on the first row of the bottom band; it shows the last.
  EXPECT_TRUE(Near(img.Pixel(15, 10), Step(0x800000, 0xF0F0F0, 3))) << "bottom band starts near the fill";
  EXPECT_TRUE(Near(img.Pixel(15, 9), dim));
  EXPECT_GT(RedOf(img.Pixel(15, 18)), 200) << "bottom band brightens towards the light colour";
  p.Flat = true;
  img = Paint(p);
  EXPECT_EQ(img.Pixel(1, 10), img.Pixel(15, 10));
  EXPECT_EQ(img.Pixel(0, 10), img.Pixel(15, 10)) << "no outline";
}

TEST(Face, OldFrameUsesSystemThreeDColours) {
  THSFaceParams p;
  p.W = 20;
  p.H = 12;
  p.Style = bsOld;
  p.Color = 0x808080;
  p.ShadowColor = 0x404040;
  TBitmap32 img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 5), ClassicSysColor(22));  // 3-D light
  EXPECT_EQ(img.Pixel(19, 5), clBlack);              // 3-D dark shadow, 3 pixels wide
  EXPECT_EQ(img.Pixel(18, 5), clBlack);
  EXPECT_EQ(img.Pixel(10, 11), clBlack);
  p.Down = true;
  img = Paint(p);
  EXPECT_EQ(img.Pixel(0, 5), clBlack);
  EXPECT_EQ(img.Pixel(1, 5), 0x404040u);
  EXPECT_EQ(img.Pixel(19, 5), ClassicSysColor(22));
}

TEST(Face, EncartaDownIsBoldAndNotMoved) {
  THSFaceParams p;
  p.W = 40;
  p.H = 30;
  p.Style = bsEncarta;
  p.Font.Height = 10;
  p.Caption = L"AB";
  THSFaceLayout up, dn;
  Paint(p, &up);
  p.Down = true;
  Paint(p, &dn);
  EXPECT_EQ(up.TextX, dn.TextX);
  EXPECT_EQ(up.TextY, dn.TextY);
  EXPECT_EQ(up.TextR, 10);
  EXPECT_EQ(dn.TextR, 12) << "bold advances one pixel more per character";
}

TEST(Face, GlyphCellChoice) {
  const TColor cells[] = {0x0000F0, 0x00F000, 0xF00000, 0xF0F000};
  TBitmap32 four = Strip(4, cells), three = Strip(3, cells), one = Strip(1, cells);
  struct Case {
    const char* name;
    const TBitmap32* glyph;
    int numGlyphs;
    bool enabled, over, down;
    TColor expected;  // colour at the cell's centre, or clNone for no glyph
    int srcCell;      // the cell the layout takes (SrcX / 16); past the strip's end cell 0 shows
  } cases[] = {
      {"normal", &four, 4, true, false, false, cells[0], 0},
      {"hot", &four, 4, true, true, false, cells[3], 3},
      {"down", &four, 4, true, false, true, cells[2], 2},
      {"down beats hot", &four, 4, true, true, true, cells[2], 2},
      {"disabled", &four, 4, false, true, true, cells[1], 1},
      {"disabled, one-cell strip", &one, 1, false, false, false, cells[0], 1},
      {"hot needs four cells", &three, 3, true, true, false, cells[0], 0},
      {"no cells counted", &four, 0, true, false, false, clNone, 0},
  };
  for (const Case& c : cases) {
    THSFaceParams p;
    p.W = 40;
    p.H = 30;
    p.Style = bsNormal;
    p.Color = 0x808080;
    p.Glyph = c.glyph;
    p.NumGlyphs = std::int16_t(c.numGlyphs);
    p.Enabled = c.enabled;
    p.Over = c.over;
    p.Down = c.down;
    THSFaceLayout l;
    TBitmap32 img = Paint(p, &l);
    // No caption, centred: glyph at ((40 - 16) / 2, (30 - 16) / 2), plus 2 when down.
    int ofs = c.down && c.enabled ? 2 : 0;
    if (c.expected == clNone) {
      EXPECT_EQ(l.CellW, 0) << c.name;
      EXPECT_EQ(img.Pixel(20, 15), 0x808080u) << c.name;
      continue;
    }
    EXPECT_EQ(l.SrcX, 16 * c.srcCell) << c.name;
    EXPECT_EQ(l.GlyphX, 12 + ofs) << c.name;
    EXPECT_EQ(l.GlyphY, 7 + ofs) << c.name;
    EXPECT_EQ(img.Pixel(12 + ofs + 8, 7 + ofs + 8), c.expected) << c.name;
    EXPECT_EQ(img.Pixel(12 + ofs + 1, 7 + ofs + 1), 0x808080u) << c.name << ": key colour left out";
  }
}

TEST(Face, GlyphLayoutsAroundTheCaption) {
  const TColor cells[] = {0x00FF00};
  TBitmap32 glyph = Strip(1, cells);
  THSFaceParams p;
  p.W = 60;
  p.H = 40;
  p.Style = bsNormal;
  p.Font.Height = 10;
  p.Caption = L"AB";  // 10 wide
  p.Glyph = &glyph;
  p.NumGlyphs = 1;
  struct Case {
    THSButtonLayout layout;
    TAlignment align;
    bool wrap;
    int glyphX, glyphY, textX, textY;
  } cases[] = {
      // avail 60 - 8 - 20 = 32; tw = 14
      {blGlyphLeft, taCenter, false, (60 - 16) / 2 - 7, 12, 24, 15},
      {blGlyphLeft, taLeftJustify, false, 4, 12, 24, 15},
      {blGlyphLeft, taRightJustify, false, 60 - 4 - 16 - 14, 12, 24, 15},
      {blGlyphLeft, taCenter, true, 4, 12, 24, 15},
      {blGlyphRight, taLeftJustify, false, 4 + 14, 12, 4, 15},
      {blGlyphRight, taRightJustify, false, 60 - 4 - 16, 12, 4, 15},
      {blGlyphRight, taCenter, false, (60 - 16) / 2 + 7, 12, 4, 15},
      // bh = 10 + 20 = 30: the pair stands at (40 - 30) / 2
      {blGlyphTop, taCenter, false, 22, 5, 4, 21},
      {blGlyphBottom, taCenter, false, 22, 15, 4, 5},
      {blGlyphBottom, taRightJustify, true, 60 - 16 - 4, 15, 4, 5},
  };
  for (const Case& c : cases) {
    p.Layout = c.layout;
    p.Alignment = c.align;
    p.WordWrap = c.wrap;
    THSFaceLayout l;
    Paint(p, &l);
    EXPECT_EQ(l.GlyphX, c.glyphX) << c.layout << "/" << c.align << "/" << c.wrap;
    EXPECT_EQ(l.GlyphY, c.glyphY) << c.layout << "/" << c.align << "/" << c.wrap;
    EXPECT_EQ(l.TextX, c.textX) << c.layout << "/" << c.align << "/" << c.wrap;
    EXPECT_EQ(l.TextY, c.textY) << c.layout << "/" << c.align << "/" << c.wrap;
  }
  // An empty caption: tw 0, so a right glyph with left alignment stands at textX.
  p.Caption.clear();
  p.Layout = blGlyphRight;
  p.Alignment = taLeftJustify;
  p.WordWrap = false;
  THSFaceLayout l;
  Paint(p, &l);
  EXPECT_EQ(l.GlyphX, 4);
}

TEST(Face, CaptionIsCutWithoutWrapAndWrappedWithIt) {
  THSFaceParams p;
  p.W = 40;
  p.H = 30;
  p.Style = bsNormal;
  p.Font.Height = 10;  // advance 5, avail 32
  p.Font.Color = kInk;
  p.Caption = L"AB CDEFGH";
  THSFaceLayout l;
  TBitmap32 img = Paint(p, &l);
  EXPECT_EQ(l.FittedCaption, L"AB CDE");
  EXPECT_EQ(l.TextH, 10);
  EXPECT_EQ(CountInk(img, kInk, {0, 0, 40, 30}), 5 * 4 * 6);
  p.WordWrap = true;
  img = Paint(p, &l);
  EXPECT_EQ(l.FittedCaption, L"AB CDEFGH");
  EXPECT_EQ(l.TextH, 20);
  EXPECT_EQ(l.TextY, 5);
  EXPECT_EQ(CountInk(img, kInk, {0, 5, 40, 15}), 2 * 4 * 6) << "first line: AB";
  EXPECT_EQ(CountInk(img, kInk, {0, 15, 40, 25}), 6 * 4 * 6) << "second line: CDEFGH";
  // Too narrow for anything: the caption goes entirely.
  p.WordWrap = false;
  p.W = 6;
  Paint(p, &l);
  EXPECT_EQ(l.FittedCaption, L"");
  EXPECT_EQ(l.Avail, 0);
}

TEST(Face, PopupArrowSitsRightOfCentre) {
  THSFaceParams p = ModernGreen();
  p.HasPopup = true;
  TBitmap32 img = Paint(p);
  EXPECT_EQ(img.Pixel(66, 21), clBlack);  // (W - 11, H div 2 - 1)
  EXPECT_EQ(img.Pixel(72, 21), clBlack);
  EXPECT_EQ(img.Pixel(69, 24), clBlack);
  EXPECT_NE(img.Pixel(66, 24), clBlack);
}

TEST(Smoothing, SmearsRightAndDown) {
  // One white pixel in a black row, radius 1: each sum sees the already
  // smoothed pixel to its left.
  TBitmap32 row(5, 1, clBlack);
  row.SetPixel(2, 0, clWhite);
  row.Bits()[0] |= 0xAB000000u;
  SmoothImage(row, 1);
  const int expected[] = {0, 85, 113, 37, 12};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(RedOf(row.Pixel(x, 0)), expected[x]) << "x " << x;
  EXPECT_EQ(row.Bits()[0] >> 24, 0xABu) << "fourth byte untouched";

  TBitmap32 col(1, 5, clBlack);
  col.SetPixel(0, 2, clWhite);
  SmoothImage(col, 1);
  for (int y = 0; y < 5; ++y) EXPECT_EQ(BlueOf(col.Pixel(0, y)), expected[y]) << "y " << y;

  // Edges count the pixel itself: a uniform image stays as it is.
  TBitmap32 flat(4, 3, 0x336699);
  SmoothImage(flat, 2);
  EXPECT_EQ(flat.Pixel(0, 0), 0x336699u);
  EXPECT_EQ(flat.Pixel(3, 2), 0x336699u);
}

TEST(Smoothing, RunsForFlatStylesBeforeTheCaption) {
  THSFaceParams p;
  p.W = 20;
  p.H = 20;
  p.Style = bsNormal;
  p.Color = 0x808080;
  p.Smooth = 1;
  p.Font.Height = 10;
  p.Font.Color = kInk;
  p.Caption = L"A";
  TBitmap32 img = Paint(p);
  EXPECT_NE(img.Pixel(1, 10), 0x808080u) << "the frame bleeds inwards";
  EXPECT_GT(CountInk(img, kInk, {0, 0, 20, 20}), 0) << "caption drawn sharp afterwards";
}
