// The drawing primitives, the colour functions and the block font.
#include <gtest/gtest.h>

#include "HSButtons.h"

using namespace hs;

namespace {

std::string Row(const TBitmap32& img, int y, TColor ink) {
  std::string s;
  for (int x = 0; x < img.Width(); ++x) s += img.Pixel(x, y) == ink ? '#' : '.';
  return s;
}

}  // namespace

TEST(ColorFunctions, ShiftGrayAndBlendFollowTheirWorkedValues) {
  struct Case {
    TColor in;
    int amount;
    TColor shifted;
  } shifts[] = {
      {0xC0C0C0, 128, 0xFFFFFF}, {0xC0C0C0, 32, 0xE0E0E0}, {0xC0C0C0, -128, 0x404040},
      {0x102030, -0x20, 0x000010},  // channels limited at 0
      {0xF0E0D0, 0x20, 0xFFFFF0},   // and at 255
      {clBtnFace, 0, 0xC0C0C0},     // system colours resolve first
  };
  for (auto& c : shifts) EXPECT_EQ(ShiftColor(c.in, c.amount), c.shifted) << std::hex << c.in << " " << c.amount;

  EXPECT_EQ(GrayColor(0x0000FF), 0x555555u);  // mean 85
  EXPECT_EQ(GrayColor(0x5F5F5F), 0x5F5F5Fu);
  EXPECT_EQ(GrayColor(0x010203), 0x020202u);  // 6 div 3
  EXPECT_EQ(GrayColor(clBtnFace), 0xC0C0C0u);

  EXPECT_EQ(HotTrackBlend(0x00AF00, 0x60CF60, 4), 0x30BF30u);
  EXPECT_EQ(HotTrackBlend(0x00AF00, 0x60CF60, 8), 0x60CF60u);
  EXPECT_EQ(HotTrackBlend(0x00AF00, 0x60CF60, 0), 0x00AF00u);
  EXPECT_EQ(HotTrackBlend(0x000000, 0x0000FF, 1), 0x00001Fu);  // 255 / 8 = 31.875 truncated
  EXPECT_EQ(HotTrackBlend(clBtnFace, clWhite, 8), clWhite);
}

TEST(Bitmap, StoresDibWordsAndResizesKeepingTopLeft) {
  TBitmap32 img(3, 2, 0x0000FF);  // red
  EXPECT_EQ(img.Bits()[0], 0x00FF0000u) << "DIB order keeps red in the third byte";
  img.SetPixel(2, 1, 0x123456);
  EXPECT_EQ(img.Pixel(2, 1), 0x123456u);
  EXPECT_EQ(img.Pixel(3, 0), clNone);
  img.SetPixel(-1, 0, clWhite);  // ignored
  img.SetSize(4, 3);
  EXPECT_EQ(img.Pixel(2, 1), 0x123456u);
  EXPECT_EQ(img.Pixel(3, 2), clBlack);
  img.SetSize(1, 0);
  EXPECT_TRUE(img.Empty());
}

TEST(Canvas, LinesCoverTheStartButNotTheEnd) {
  TBitmap32 img(6, 3, clBlack);
  TCanvas32 c(img);
  c.Pen.Color = clWhite;
  c.MoveTo(0, 0);
  c.LineTo(5, 0);
  c.LineTo(5, 2);  // continues from (5, 0), which the first line left out
  EXPECT_EQ(Row(img, 0, clWhite), "######");
  EXPECT_EQ(Row(img, 1, clWhite), ".....#");
  EXPECT_EQ(Row(img, 2, clWhite), "......");
  c.Pen.Style = psClear;
  c.MoveTo(0, 2);
  c.LineTo(4, 2);
  EXPECT_EQ(Row(img, 2, clWhite), "......");
  EXPECT_EQ(c.PenPos(), (TPoint{4, 2}));
}

TEST(Canvas, RectangleOutlinesInsideAndFillsWithTheBrush) {
  TBitmap32 img(5, 4, clBlack);
  TCanvas32 c(img);
  c.Pen.Color = clWhite;
  c.Brush.Color = 0x0000FF;
  c.Rectangle(0, 0, 5, 4);
  EXPECT_EQ(Row(img, 0, clWhite), "#####");
  EXPECT_EQ(Row(img, 1, 0x0000FF), ".###.");
  EXPECT_EQ(Row(img, 3, clWhite), "#####");
  // Outline outside the image: the whole image takes the brush.
  c.Brush.Color = 0x00FF00;
  c.Rectangle(-1, -1, 6, 5);
  for (int y = 0; y < 4; ++y) EXPECT_EQ(Row(img, y, 0x00FF00), "#####");
}

TEST(Canvas, RoundRectCutsCornersSymmetrically) {
  TBitmap32 img(12, 10, clBlack);
  TCanvas32 c(img);
  c.Pen.Color = clWhite;
  c.Brush.Color = 0x0000FF;
  c.RoundRect(0, 0, 12, 10, 8, 8);
  for (int y = 0; y < 5; ++y) {
    std::string top = Row(img, y, clBlack), bottom = Row(img, 9 - y, clBlack);
    EXPECT_EQ(top, bottom) << "row " << y;
    EXPECT_EQ(top, std::string(top.rbegin(), top.rend())) << "row " << y;
  }
  EXPECT_EQ(img.Pixel(0, 0), clBlack);          // corner left as it was
  EXPECT_EQ(img.Pixel(6, 0), clWhite);          // top edge is outline
  EXPECT_EQ(img.Pixel(6, 5), 0x0000FFu);        // inside filled
  EXPECT_EQ(img.Pixel(0, 5), clWhite);          // straight side
  // A clear brush leaves the inside alone.
  TBitmap32 img2(12, 10, clBlack);
  TCanvas32 c2(img2);
  c2.Brush.Clear = true;
  c2.Pen.Color = clWhite;
  c2.RoundRect(0, 0, 12, 10, 2, 2);
  EXPECT_EQ(img2.Pixel(6, 5), clBlack);
  EXPECT_EQ(img2.Pixel(0, 0), clBlack) << "radius 1 still cuts the corner pixel";
  EXPECT_EQ(img2.Pixel(0, 1), clWhite);
}

TEST(Canvas, TransparentCopyLeavesOutTheKey) {
  TBitmap32 dst(3, 1, clBlack), src(3, 1, clFuchsia);
  src.SetPixel(1, 0, clWhite);
  TCanvas32 c(dst);
  c.DrawTransparent(0, 0, src, clFuchsia);
  EXPECT_EQ(Row(dst, 0, clWhite), ".#.");
  EXPECT_EQ(dst.Pixel(0, 0), clBlack);
}

TEST(BlockFont, MeasuresLinesAndWrapsAtWords) {
  TBlockFontEngine f;
  TFont font;
  font.Height = 10;  // advance 5
  EXPECT_EQ(f.LineWidth(font, L"&Load"), 20) << "the ampersand takes no room";
  EXPECT_EQ(f.LineWidth(font, L"a&&b"), 15);
  int h = 0, r = 0;
  f.Measure(font, L"AB CDEFGH", 32, h, r);
  EXPECT_EQ(h, 20);
  EXPECT_EQ(r, 30);
  f.Measure(font, L"ABCDEFGHIJ", 20, h, r);  // one long word stays whole
  EXPECT_EQ(h, 10);
  EXPECT_EQ(r, 50);
  f.Measure(font, L"", 20, h, r);
  EXPECT_EQ(h, 0);
  f.Measure(font, L"A\nB", 100, h, r);
  EXPECT_EQ(h, 20);
}

TEST(BlockFont, UnderlinesTheAcceleratorOnly) {
  TBlockFontEngine f;
  TFont font;
  font.Height = 10;
  font.Color = clWhite;
  TBitmap32 img(20, 10, clBlack);
  f.Draw(img, font, L"a&bc", {0, 0, 20, 10}, taLeftJustify);
  EXPECT_EQ(Row(img, 9, clWhite), ".....####...........");
  EXPECT_EQ(Row(img, 4, clWhite), "####.####.####......");
}
