// A cached top-down 32-bit DIB section selected into a memory DC that its
// owner keeps. The pixel words have the layout of TBitmap32, so a face or
// some of its rows can be copied in and out with memcpy. The owner creates
// the DC (and may select other objects, such as fonts, into it first).
#pragma once

#include <windows.h>

#include <cstdint>

namespace hs {

struct TDibSurface {
  HBITMAP dib = nullptr;
  HGDIOBJ old = nullptr;  // the DC's bitmap before the first DIB was selected
  std::uint32_t* bits = nullptr;
  int w = 0, h = 0;

  // Makes a width x height DIB the DC's bitmap; the current one is kept while
  // its size fits. False (and the previous DIB left in place) when GDI refuses.
  bool Ensure(HDC dc, int width, int height) {
    if (dib && width == w && height == h) return true;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;  // top-down like TBitmap32
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* p = nullptr;
    HBITMAP b = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &p, nullptr, 0);
    if (!b) return false;
    HGDIOBJ prev = SelectObject(dc, b);
    if (!old) old = prev;
    if (dib) DeleteObject(dib);
    dib = b;
    bits = static_cast<std::uint32_t*>(p);
    w = width;
    h = height;
    return true;
  }

  // Gives the DC its original bitmap back and deletes the DIB.
  void Release(HDC dc) {
    if (old) SelectObject(dc, old);
    if (dib) DeleteObject(dib);
    dib = nullptr;
    old = nullptr;
    bits = nullptr;
    w = h = 0;
  }
};

}  // namespace hs
