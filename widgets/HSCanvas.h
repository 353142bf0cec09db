// Drawing primitives of the colour-style button: a 32-bit off-screen image,
// a canvas with pen, brush and font over it, colour values, and the text
// engine interface that the platform implements.
//
// Everything here draws with the project's own routines, so a face has the
// same pixels on every platform; only text goes through the platform (GDI on
// Windows, a deterministic block font natively). The platform's services reach
// the buttons as one object (THSButtonServices, HSButtons.h), never through
// globals.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hs {

// 0x00BBGGRR for RGB; 0xFF0000nn is system colour nn; clNone is no colour.
using TColor = std::uint32_t;

constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clGray = 0x808080;
constexpr TColor clFuchsia = 0xFF00FF;  // the see-through key of button faces
constexpr TColor clBtnFace = 0xFF00000F;
constexpr TColor clWindowText = 0xFF000008;
constexpr TColor cl3DDkShadow = 0xFF000015;
constexpr TColor cl3DLight = 0xFF000016;

constexpr TColor RGBColor(int r, int g, int b) {
  return TColor(r & 0xFF) | TColor(g & 0xFF) << 8 | TColor(b & 0xFF) << 16;
}
constexpr int RedOf(TColor c) { return int(c & 0xFF); }
constexpr int GreenOf(TColor c) { return int(c >> 8 & 0xFF); }
constexpr int BlueOf(TColor c) { return int(c >> 16 & 0xFF); }

// The classic Windows scheme (Windows 95 to 2000 default), by COLOR_* index.
TColor ClassicSysColor(int index);
// Resolves a colour to RGB with the classic scheme; RGB passes unchanged, none
// gives black. Buttons resolve system colours through their services first
// (THSButtonServices::ToRGB), so the canvas sees RGB from them.
TColor ColorToRGB(TColor c);

struct TPoint {
  int X = 0, Y = 0;
  friend bool operator==(const TPoint&, const TPoint&) = default;
};

// Covers columns Left..Right-1 and rows Top..Bottom-1.
struct TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
  bool Contains(TPoint p) const { return p.X >= Left && p.X < Right && p.Y >= Top && p.Y < Bottom; }
  bool Intersects(const TRect& o) const {
    return Left < o.Right && o.Left < Right && Top < o.Bottom && o.Top < Bottom;
  }
  friend bool operator==(const TRect&, const TRect&) = default;
};

struct TFont {
  std::wstring Name = L"Tahoma";
  int Height = 11;  // character height in pixels (a GDI lfHeight of -Height)
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  TColor Color = clWindowText;
  friend bool operator==(const TFont&, const TFont&) = default;
};

// A top-down 32-bit image. Pixels are stored as Windows DIB words
// (0x00RRGGBB, blue in the lowest byte) so that GDI can draw text into a copy
// of the same memory; Pixel and SetPixel speak TColor.
class TBitmap32 {
 public:
  TBitmap32() = default;
  TBitmap32(int width, int height, TColor fill = clBlack);

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  bool Empty() const { return FWidth <= 0 || FHeight <= 0; }

  // Keeps the top-left part; new pixels are black.
  void SetSize(int width, int height);
  void Fill(TColor c);

  // Outside the image Pixel gives clNone and SetPixel does nothing.
  TColor Pixel(int x, int y) const;
  void SetPixel(int x, int y, TColor c);
  bool Inside(int x, int y) const { return x >= 0 && y >= 0 && x < FWidth && y < FHeight; }

  std::uint32_t* Bits() { return FBits.data(); }
  const std::uint32_t* Bits() const { return FBits.data(); }
  std::uint32_t* Row(int y) { return FBits.data() + std::size_t(y) * std::size_t(FWidth); }
  const std::uint32_t* Row(int y) const { return FBits.data() + std::size_t(y) * std::size_t(FWidth); }

  static std::uint32_t ToDib(TColor c) { return (c & 0xFF) << 16 | (c & 0xFF00) | (c >> 16 & 0xFF); }
  static TColor FromDib(std::uint32_t d) { return (d & 0xFF) << 16 | (d & 0xFF00) | (d >> 16 & 0xFF); }

 private:
  int FWidth = 0, FHeight = 0;
  std::vector<std::uint32_t> FBits;
};

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

// Text seam. Captions use '&' to mark the accelerator character, which is
// drawn underlined; "&&" is a literal ampersand.
class THSTextEngine {
 public:
  virtual ~THSTextEngine() = default;
  // Width of the text as one line.
  virtual int LineWidth(const TFont& font, std::wstring_view text) = 0;
  // Lays the text out with word breaks in the rectangle (0, 0, width, 0),
  // letting it grow: the height and right edge it reaches.
  virtual void Measure(const TFont& font, std::wstring_view text, int width, int& height, int& right) = 0;
  // Draws with word breaks, each line aligned, in the font colour, no
  // background, clipped to the rectangle.
  virtual void Draw(TBitmap32& image, const TFont& font, std::wstring_view text, const TRect& r,
                    TAlignment alignment) = 0;
};

// Deterministic block font: every character advances (Height + 1) / 2 pixels
// (one more when bold), a line is Height pixels high, a visible character is a
// solid block in the font colour and the accelerator is underlined.
class TBlockFontEngine : public THSTextEngine {
 public:
  static int Advance(const TFont& font) { return (font.Height + 1) / 2 + (font.Bold ? 1 : 0); }
  int LineWidth(const TFont& font, std::wstring_view text) override;
  void Measure(const TFont& font, std::wstring_view text, int width, int& height, int& right) override;
  void Draw(TBitmap32& image, const TFont& font, std::wstring_view text, const TRect& r,
            TAlignment alignment) override;
};

// A block font engine shared by everything that needs no other (it keeps no state).
THSTextEngine& BlockFontEngine();

// Caption text helpers shared by the engines.
struct TCaptionChar {
  wchar_t Ch;
  bool Accel;  // underlined accelerator
};
// Resolves '&' prefixes: "&Load" gives L,o,a,d with L underlined.
std::vector<TCaptionChar> StripPrefix(std::wstring_view text);
// Greedy word-break into lines of at most width pixels (a longer word stands
// alone on its line); line breaks in the text break too.
std::vector<std::vector<TCaptionChar>> BreakLines(const std::vector<TCaptionChar>& chars, int width,
                                                   int advance);

enum TPenStyle { psSolid, psClear };
struct TPen {
  TColor Color = clBlack;
  int Width = 1;
  TPenStyle Style = psSolid;
};
struct TBrush {
  TColor Color = clWhite;
  bool Clear = false;
};

// A canvas over one image. Conventions:
//  - FillRect fills (l, t, r, b) with the brush colour only;
//  - Rectangle and RoundRect draw their outline with the pen along the inside
//    of the rectangle and fill the rest with the brush unless it is clear;
//    RoundRect's corners are quarter ellipses of the given full width/height;
//  - LineTo covers the current point but not the end point (a pen wider than
//    1 is a square brush centred on the path and covers the end point too).
class TCanvas32 {
 public:
  explicit TCanvas32(TBitmap32& image, THSTextEngine& text = BlockFontEngine()) : FImage(image), FText(text) {}

  TPen Pen;
  TBrush Brush;
  TFont Font;

  void FillRect(const TRect& r);
  void Rectangle(int l, int t, int r, int b);
  void RoundRect(int l, int t, int r, int b, int cw, int ch);
  void MoveTo(int x, int y) { FPos = {x, y}; }
  void LineTo(int x, int y);
  TPoint PenPos() const { return FPos; }
  void SetPixel(int x, int y, TColor c) { FImage.SetPixel(x, y, ColorToRGB(c)); }
  // Copies src at (x, y), leaving out every pixel of colour key.
  void DrawTransparent(int x, int y, const TBitmap32& src, TColor key);
  // Text through the canvas's text engine in Font.
  void TextRect(const TRect& r, std::wstring_view text, TAlignment alignment);

 private:
  void PenDot(int x, int y, std::uint32_t dib);
  TBitmap32& FImage;
  THSTextEngine& FText;
  TPoint FPos;
};

}  // namespace hs
