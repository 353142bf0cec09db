// A cached top-down 32-bit DIB section selected into a memory DC that its
// owner keeps. The pixel words have the layout of TBitmap32, so a face or
// some of its rows can be copied in and out with memcpy. The owner creates
// the DC (and may select other objects, such as fonts, into it first); the
// surface must end before the DC, and gives the DC its bitmap back then.
#pragma once

#include <windows.h>

#include <cstdint>

#include "win32/handles.h"

namespace hs {

struct TDibSurface {
  win32::TGdiObject<HBITMAP> dib;
  win32::TSelection selection;  // the DC's bitmap before the first DIB, selected back at the end
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
    win32::TGdiObject<HBITMAP> b(CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &p, nullptr, 0));
    if (!b) return false;
    if (selection)
      SelectObject(dc, b.get());
    else
      selection = win32::TSelection(dc, b.get());
    dib = std::move(b);  // the previous DIB, no longer selected, is deleted
    bits = static_cast<std::uint32_t*>(p);
    w = width;
    h = height;
    return true;
  }
};

}  // namespace hs
