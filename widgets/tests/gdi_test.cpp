// Under Wine: the face with real GDI text, the magenta-keyed copy onto a
// window's surface, message routing through the host and the 30-ms timer.
#include <gtest/gtest.h>

#include <windows.h>

#include "win/HSButtonHost.h"

using namespace hs;

namespace {

TFont Tahoma13() {
  TFont f;
  f.Name = L"Tahoma";
  f.Height = 13;
  f.Bold = true;
  f.Color = clBlack;
  return f;
}

// The green gradient never has less green than the fill's 0xAF; black text does.
bool Dark(TColor c) { return GreenOf(c) < 0x90; }

LRESULT CALLBACK TestProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  auto* host = reinterpret_cast<THSButtonHost*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  LRESULT r = 0;
  if (host && host->handle_message(h, m, w, l, r)) return r;
  return DefWindowProcW(h, m, w, l);
}

HWND MakeWindow() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSW wc{};
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = TestProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    wc.lpszClassName = L"HSButtonTestWindow";
    RegisterClassW(&wc);
    registered = true;
  }
  return CreateWindowExW(0, L"HSButtonTestWindow", L"test", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr,
                         nullptr, GetModuleHandleW(nullptr), nullptr);
}

void Pump(DWORD ms) {
  DWORD end = GetTickCount() + ms;
  MSG msg;
  while (GetTickCount() < end) {
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  }
}

// Pumps messages until `done` holds or `ms` have passed; says whether it held.
// A loaded machine delays timer messages, so waits end on the state, not a count.
template <class Done>
bool PumpUntil(Done done, DWORD ms) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > ms)
      return false;
    Pump(10);
  }
  return true;
}

}  // namespace

TEST(GdiFace, ModernGreenWithRealText) {
  THSWin32Services services;
  THSSpeedButton b(services);
  b.SetBounds(0, 0, 77, 45);
  b.SetCaption(L"1");
  b.SetFont(Tahoma13());
  b.SetColorStyle(lcsGreen);
  TBitmap32 face = b.RenderFace();
  ASSERT_EQ(face.Width(), 77);
  // See-through top corners, outline in the fill colour.
  EXPECT_EQ(face.Pixel(0, 0), clFuchsia);
  EXPECT_EQ(face.Pixel(76, 0), clFuchsia);
  EXPECT_EQ(face.Pixel(0, 22), 0x00AF00u);
  EXPECT_EQ(face.Pixel(10, 0), 0x00AF00u);
  // Gradient rows: up to the light colour at row 10/11, back to the fill.
  EXPECT_EQ(face.Pixel(10, 11), 0x30FF30u);
  EXPECT_GT(GreenOf(face.Pixel(10, 5)), 0xAF);
  EXPECT_LT(GreenOf(face.Pixel(10, 40)), GreenOf(face.Pixel(10, 20)));
  // Caption pixels in the centre, dark on green, none near the edges.
  int centre = 0, edge = 0;
  for (int y = 0; y < 45; ++y)
    for (int x = 0; x < 77; ++x) {
      bool dark = Dark(face.Pixel(x, y)) && face.Pixel(x, y) != clFuchsia;
      if (x >= 28 && x < 49 && y >= 12 && y < 33) centre += dark;
      else edge += dark;
    }
  EXPECT_GT(centre, 10);
  EXPECT_EQ(edge, 0);

  int h = 0, r = 0;
  services.Text().Measure(Tahoma13(), L"1", 69, h, r);
  EXPECT_GE(h, 13);
  EXPECT_LE(h, 20);
  EXPECT_GT(r, 0);
  EXPECT_GT(services.Text().LineWidth(Tahoma13(), L"MMMM"), services.Text().LineWidth(Tahoma13(), L"M"));
}

TEST(GdiFace, TextOverTheKeyHasNoFringe) {
  THSWin32Services services;
  THSSpeedButton b(services);
  b.SetBounds(0, 0, 90, 40);
  b.SetCaption(L"&Caption");
  TFont f = Tahoma13();
  f.Color = 0x102030;
  b.SetFont(f);
  b.SetStyle(bsShape);
  TBitmap32 face = b.RenderFace();
  int ink = 0, other = 0;
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 90; ++x) {
      TColor c = face.Pixel(x, y);
      if (c == 0x102030u) ++ink;
      else if (c != clFuchsia) ++other;
    }
  EXPECT_GT(ink, 20);
  EXPECT_EQ(other, 0) << "blended pixels would show as a magenta fringe";
}

TEST(GdiFace, BlitLeavesMagentaOut) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, 20, 10);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(dc, bmp);
  RECT all{0, 0, 20, 10};
  HBRUSH blue = CreateSolidBrush(RGB(0, 0, 255));
  FillRect(dc, &all, blue);
  TBitmap32 face(10, 5, clFuchsia);
  face.SetPixel(3, 2, 0x00FF00);
  BlitFace(dc, face, 5, 3);
  EXPECT_EQ(GetPixel(dc, 5, 3), RGB(0, 0, 255));
  EXPECT_EQ(GetPixel(dc, 8, 5), RGB(0, 255, 0));
  EXPECT_EQ(GetPixel(dc, 9, 5), RGB(0, 0, 255));
  SelectObject(dc, old);
  DeleteObject(blue);
  DeleteObject(bmp);
  DeleteDC(dc);
}

TEST(GdiHost, RoutesMouseToTheButtonWithCapture) {
  HWND w = MakeWindow();
  ASSERT_NE(w, nullptr);
  THSButtonHost host(w);
  SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&host));
  THSSpeedButton* b = host.CreateButton(20, 20, 77, 45, L"1", 3, Tahoma13());
  b->SetColorStyle(lcsChrome);
  long long tag = -1;
  TMouseButton which = mbMiddle;
  int downs = 0, clicks = 0;
  b->OnMouseDown = [&](THSSpeedButton* s, TMouseButton m, TShiftState, int, int) {
    tag = s->Tag;
    which = m;
    ++downs;
  };
  b->OnClick = [&](THSSpeedButton*) { ++clicks; };
  Pump(50);

  SendMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(30, 30));
  EXPECT_EQ(tag, 3);
  EXPECT_EQ(which, mbLeft);
  EXPECT_TRUE(b->Down());
  EXPECT_EQ(GetCapture(), w);
  SendMessageW(w, WM_LBUTTONUP, 0, MAKELPARAM(30, 30));
  EXPECT_FALSE(b->Down());
  EXPECT_EQ(clicks, 1);
  EXPECT_NE(GetCapture(), w);

  SendMessageW(w, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(30, 30));
  EXPECT_EQ(which, mbRight);
  EXPECT_FALSE(b->Down());
  SendMessageW(w, WM_RBUTTONUP, 0, MAKELPARAM(30, 30));
  SendMessageW(w, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));  // beside the button
  EXPECT_EQ(downs, 2);

  // A paint cycle puts the face on the window, corners see-through.
  InvalidateRect(w, nullptr, TRUE);
  UpdateWindow(w);
  HDC dc = GetDC(w);
  COLORREF edge = GetPixel(dc, 20, 42), corner = GetPixel(dc, 20, 20);
  ReleaseDC(w, dc);
  EXPECT_EQ(edge, RGB(192, 192, 192));
  EXPECT_EQ(corner, GetSysColor(COLOR_BTNFACE));
  DestroyWindow(w);
}

TEST(GdiHost, FadeRunsOnTheMessageLoopTimer) {
  HWND w = MakeWindow();
  THSButtonHost host(w);
  SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&host));
  THSSpeedButton* b = host.CreateButton(20, 20, 77, 45, L"L", 1, Tahoma13());
  b->SetColorStyle(lcsGold);
  b->SetSlowDecease(sdEnterLeave);
  Pump(30);
  SendMessageW(w, WM_MOUSEMOVE, 0, MAKELPARAM(30, 30));
  EXPECT_TRUE(b->CursorOnButton());
  EXPECT_FALSE(b->Timer()->Suspended());  // the fade in has begun
  EXPECT_TRUE(PumpUntil([&] { return b->Timer()->Suspended(); }, 10000));
  EXPECT_EQ(b->HotTrackStep(), 8);
  EXPECT_TRUE(b->Timer()->Suspended());
  SendMessageW(w, WM_MOUSELEAVE, 0, 0);
  EXPECT_FALSE(b->CursorOnButton());
  EXPECT_FALSE(b->Timer()->Suspended());  // and the fade out
  EXPECT_TRUE(PumpUntil([&] { return b->Timer()->Suspended(); }, 10000));
  EXPECT_EQ(b->HotTrackStep(), 0);
  EXPECT_TRUE(b->Timer()->Suspended());
  DestroyWindow(w);
}
