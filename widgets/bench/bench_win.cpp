// Under Wine: time to paint one 77 x 45 bsModern face with its caption in
// real GDI text, and to copy it onto a window surface with the magenta key.
#include <windows.h>

#include <cstdio>

#include "win/HSButtonHost.h"

using namespace hs;

namespace {

double Seconds(LARGE_INTEGER a, LARGE_INTEGER b, LARGE_INTEGER f) {
  return double(b.QuadPart - a.QuadPart) / double(f.QuadPart);
}

}  // namespace

int main() {
  THSWin32Services services;
  THSSpeedButton b(services);
  b.SetBounds(0, 0, 77, 45);
  b.SetCaption(L"1");
  TFont font;
  font.Name = L"Tahoma";
  font.Height = 13;
  font.Bold = true;
  b.SetFont(font);
  b.SetColorStyle(lcsGreen);

  LARGE_INTEGER f, t0, t1;
  QueryPerformanceFrequency(&f);
  const int n = 3000;
  for (int i = 0; i < 100; ++i) b.RenderFace();  // warm-up: font creation, DIB
  QueryPerformanceCounter(&t0);
  unsigned sink = 0;
  for (int i = 0; i < n; ++i) sink += b.RenderFace().Pixel(10, 22);
  QueryPerformanceCounter(&t1);
  const double face = Seconds(t0, t1, f) / n * 1e6;

  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, 100, 60);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bmp);
  TBitmap32 img = b.RenderFace();
  QueryPerformanceCounter(&t0);
  for (int i = 0; i < n; ++i) BlitFace(dc, img, 5, 5);
  QueryPerformanceCounter(&t1);
  const double blit = Seconds(t0, t1, f) / n * 1e6;
  SelectObject(dc, old);
  DeleteObject(bmp);
  DeleteDC(dc);

  std::printf("bsModern 77x45 face with GDI caption: %.1f us per face (%d faces)\n", face, n);
  std::printf("magenta-keyed copy onto a device surface: %.1f us per face\n", blit);
  std::printf("six faces per refresh: %.1f us (checksum %u)\n", 6 * (face + blit), sink);
  return 0;
}
