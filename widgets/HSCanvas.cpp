#include "HSCanvas.h"

#include <algorithm>
#include <cmath>

namespace hs {

namespace {

// The classic Windows scheme (Windows 95 to 2000 default), by COLOR_* index.
constexpr TColor kClassicScheme[] = {
    0xC0C0C0, 0x808000, 0x800000, 0x808080, 0xC0C0C0, 0xFFFFFF, 0x000000, 0x000000,
    0x000000, 0xFFFFFF, 0xC0C0C0, 0xC0C0C0, 0x808080, 0x800000, 0xFFFFFF, 0xC0C0C0,
    0x808080, 0x808080, 0x000000, 0xC0C0C0, 0xFFFFFF, 0x000000, 0xC0C0C0, 0x000000,
    0xE1FFFF, 0xC0C0C0, 0xFF0000, 0xD08410, 0xB5B5B5, 0x800000, 0xC0C0C0,
};

}  // namespace

TColor ClassicSysColor(int index) {
  if (index < 0 || index >= int(std::size(kClassicScheme))) return clBlack;
  return kClassicScheme[index];
}

TColor ColorToRGB(TColor c) {
  if ((c & 0xFF000000) == 0xFF000000) {
    int index = int(c & 0xFF);
    return ClassicSysColor(index) & 0xFFFFFF;
  }
  if (c == clNone) return clBlack;
  return c & 0xFFFFFF;
}

// ---------------------------------------------------------------- TBitmap32

TBitmap32::TBitmap32(int width, int height, TColor fill) {
  SetSize(width, height);
  Fill(fill);
}

void TBitmap32::SetSize(int width, int height) {
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (width == 0 || height == 0) width = height = 0;
  std::vector<std::uint32_t> bits(std::size_t(width) * std::size_t(height), 0);
  int cw = std::min(width, FWidth), ch = std::min(height, FHeight);
  for (int y = 0; y < ch; ++y)
    std::copy_n(FBits.data() + std::size_t(y) * FWidth, cw, bits.data() + std::size_t(y) * width);
  FBits.swap(bits);
  FWidth = width;
  FHeight = height;
}

void TBitmap32::Fill(TColor c) { std::fill(FBits.begin(), FBits.end(), ToDib(ColorToRGB(c))); }

TColor TBitmap32::Pixel(int x, int y) const {
  if (!Inside(x, y)) return clNone;
  return FromDib(Row(y)[x]) & 0xFFFFFF;
}

void TBitmap32::SetPixel(int x, int y, TColor c) {
  if (Inside(x, y)) Row(y)[x] = ToDib(c & 0xFFFFFF);
}

// ---------------------------------------------------------------- text

THSTextEngine& BlockFontEngine() {
  static TBlockFontEngine engine;
  return engine;
}

std::vector<TCaptionChar> StripPrefix(std::wstring_view text) {
  std::vector<TCaptionChar> out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'&') {
      if (i + 1 >= text.size()) break;  // a trailing '&' marks nothing
      ++i;
      out.push_back({text[i], text[i] != L'&'});
    } else {
      out.push_back({text[i], false});
    }
  }
  return out;
}

std::vector<std::vector<TCaptionChar>> BreakLines(const std::vector<TCaptionChar>& chars, int width,
                                                   int advance) {
  std::vector<std::vector<TCaptionChar>> lines;
  if (chars.empty()) return lines;
  std::vector<TCaptionChar> line;
  std::size_t i = 0, n = chars.size();
  auto fits = [&](std::size_t count) { return int(count) * advance <= width; };
  while (i < n) {
    if (chars[i].Ch == L'\r' && i + 1 < n && chars[i + 1].Ch == L'\n') ++i;
    if (chars[i].Ch == L'\n' || chars[i].Ch == L'\r') {
      lines.push_back(line);
      line.clear();
      ++i;
      continue;
    }
    // One word with the blanks before it.
    std::size_t start = i;
    while (i < n && chars[i].Ch == L' ') ++i;
    std::size_t wordStart = i;
    while (i < n && chars[i].Ch != L' ' && chars[i].Ch != L'\n' && chars[i].Ch != L'\r') ++i;
    std::size_t blanks = wordStart - start, word = i - wordStart;
    if (line.empty() && lines.empty() && blanks > 0 && fits(blanks + word)) {
      // Leading blanks of the text stay.
      line.insert(line.end(), chars.begin() + long(start), chars.begin() + long(i));
    } else if (line.empty()) {
      line.insert(line.end(), chars.begin() + long(wordStart), chars.begin() + long(i));
    } else if (fits(line.size() + blanks + word)) {
      line.insert(line.end(), chars.begin() + long(start), chars.begin() + long(i));
    } else {
      lines.push_back(line);
      line.assign(chars.begin() + long(wordStart), chars.begin() + long(i));
    }
  }
  lines.push_back(line);
  return lines;
}

int TBlockFontEngine::LineWidth(const TFont& font, std::wstring_view text) {
  return int(StripPrefix(text).size()) * Advance(font);
}

void TBlockFontEngine::Measure(const TFont& font, std::wstring_view text, int width, int& height, int& right) {
  auto lines = BreakLines(StripPrefix(text), width, Advance(font));
  height = int(lines.size()) * font.Height;
  right = 0;
  for (auto& l : lines) right = std::max(right, int(l.size()) * Advance(font));
}

void TBlockFontEngine::Draw(TBitmap32& image, const TFont& font, std::wstring_view text, const TRect& r,
                            TAlignment alignment) {
  const int adv = Advance(font);
  const std::uint32_t ink = TBitmap32::ToDib(ColorToRGB(font.Color));
  auto lines = BreakLines(StripPrefix(text), r.Width(), adv);
  TRect clip{std::max(r.Left, 0), std::max(r.Top, 0), std::min(r.Right, image.Width()),
             std::min(r.Bottom, image.Height())};
  auto plot = [&](int x, int y) {
    if (x >= clip.Left && x < clip.Right && y >= clip.Top && y < clip.Bottom) image.Row(y)[x] = ink;
  };
  int y = r.Top;
  for (auto& line : lines) {
    int lw = int(line.size()) * adv;
    int x = alignment == taLeftJustify ? r.Left
            : alignment == taRightJustify ? r.Right - lw
                                          : r.Left + (r.Width() - lw) / 2;
    for (auto& c : line) {
      if (c.Ch != L' ') {
        for (int yy = y + 2; yy <= y + std::max(font.Height - 3, 2); ++yy)
          for (int xx = x; xx < x + adv - 1; ++xx) plot(xx, yy);
      }
      if (c.Accel || font.Underline)
        for (int xx = x; xx < x + adv - 1; ++xx) plot(xx, y + font.Height - 1);
      x += adv;
    }
    y += font.Height;
  }
}

// ---------------------------------------------------------------- canvas

void TCanvas32::FillRect(const TRect& r) {
  const std::uint32_t c = TBitmap32::ToDib(ColorToRGB(Brush.Color));
  int l = std::max(r.Left, 0), t = std::max(r.Top, 0);
  int rr = std::min(r.Right, FImage.Width()), b = std::min(r.Bottom, FImage.Height());
  for (int y = t; y < b; ++y) std::fill(FImage.Row(y) + l, FImage.Row(y) + std::max(l, rr), c);
}

void TCanvas32::Rectangle(int l, int t, int r, int b) {
  if (l > r) std::swap(l, r);
  if (t > b) std::swap(t, b);
  int w = Pen.Style == psSolid ? std::max(Pen.Width, 1) : 0;
  if (!Brush.Clear) {
    TRect inner{l + w, t + w, r - w, b - w};
    if (inner.Left < inner.Right && inner.Top < inner.Bottom) FillRect(inner);
  }
  if (w == 0) return;
  const std::uint32_t pen = TBitmap32::ToDib(ColorToRGB(Pen.Color));
  for (int y = t; y < b; ++y)
    for (int x = l; x < r; ++x) {
      bool ring = x < l + w || x >= r - w || y < t + w || y >= b - w;
      if (ring && FImage.Inside(x, y)) FImage.Row(y)[x] = pen;
    }
}

namespace {

// Horizontal inset of row y (0-based) of a rounded shape h rows high whose
// corners are quarter ellipses with radii rx, ry. The ellipse is evaluated at
// the row's outer edge, the same rule the gradient bands cut their corners by,
// so an outline and a band of the same radius meet without a gap.
int RoundInset(int y, int h, double rx, double ry) {
  if (ry <= 0 || rx <= 0) return 0;
  int k = std::min(y, h - 1 - y);
  if (k >= ry) return 0;
  double t = (ry - k) / ry;
  return int(std::lround(rx - rx * std::sqrt(std::max(0.0, 1.0 - t * t))));
}

}  // namespace

void TCanvas32::RoundRect(int l, int t, int r, int b, int cw, int ch) {
  if (l > r) std::swap(l, r);
  if (t > b) std::swap(t, b);
  const int h = b - t;
  if (h <= 0 || r <= l) return;
  const double rx = std::min(cw, r - l) / 2.0, ry = std::min(ch, h) / 2.0;
  std::vector<int> inset(std::size_t(h) + 2);
  for (int y = 0; y < h; ++y) inset[std::size_t(y)] = RoundInset(y, h, rx, ry);
  auto inside = [&](int x, int y) {
    if (y < 0 || y >= h) return false;
    return x >= l + inset[std::size_t(y)] && x < r - inset[std::size_t(y)];
  };
  const bool pen = Pen.Style == psSolid;
  const std::uint32_t penC = TBitmap32::ToDib(ColorToRGB(Pen.Color));
  const std::uint32_t brushC = TBitmap32::ToDib(ColorToRGB(Brush.Color));
  for (int y = 0; y < h; ++y) {
    int py = t + y;
    for (int x = l + inset[std::size_t(y)]; x < r - inset[std::size_t(y)]; ++x) {
      bool edge = !inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1) || !inside(x, y + 1);
      if (!FImage.Inside(x, py)) continue;
      if (edge && pen)
        FImage.Row(py)[x] = penC;
      else if (!Brush.Clear)
        FImage.Row(py)[x] = brushC;
    }
  }
}

void TCanvas32::PenDot(int x, int y, std::uint32_t dib) {
  int w = std::max(Pen.Width, 1);
  if (w == 1) {
    if (FImage.Inside(x, y)) FImage.Row(y)[x] = dib;
    return;
  }
  int lo = -(w / 2);
  for (int dy = lo; dy < lo + w; ++dy)
    for (int dx = lo; dx < lo + w; ++dx)
      if (FImage.Inside(x + dx, y + dy)) FImage.Row(y + dy)[x + dx] = dib;
}

void TCanvas32::LineTo(int x2, int y2) {
  int x = FPos.X, y = FPos.Y;
  FPos = {x2, y2};
  if (Pen.Style != psSolid) return;
  const std::uint32_t c = TBitmap32::ToDib(ColorToRGB(Pen.Color));
  int dx = std::abs(x2 - x), dy = -std::abs(y2 - y);
  int sx = x < x2 ? 1 : -1, sy = y < y2 ? 1 : -1;
  int err = dx + dy;
  while (x != x2 || y != y2) {
    PenDot(x, y, c);
    int e2 = 2 * err;
    if (e2 >= dy) { err += dy; x += sx; }
    if (e2 <= dx) { err += dx; y += sy; }
  }
  if (Pen.Width > 1) PenDot(x2, y2, c);
}

void TCanvas32::DrawTransparent(int x, int y, const TBitmap32& src, TColor key) {
  const std::uint32_t k = TBitmap32::ToDib(ColorToRGB(key));
  for (int sy = 0; sy < src.Height(); ++sy) {
    int dy = y + sy;
    if (dy < 0 || dy >= FImage.Height()) continue;
    const std::uint32_t* s = src.Row(sy);
    std::uint32_t* d = FImage.Row(dy);
    for (int sx = 0; sx < src.Width(); ++sx) {
      int dx = x + sx;
      if (dx < 0 || dx >= FImage.Width()) continue;
      if ((s[sx] & 0xFFFFFF) != k) d[dx] = s[sx] & 0xFFFFFF;
    }
  }
}

void TCanvas32::TextRect(const TRect& r, std::wstring_view text, TAlignment alignment) {
  FText.Draw(FImage, Font, text, r, alignment);
}

}  // namespace hs
