// Gallery of colour-style buttons: every face style and colour style at rest,
// hot, down and disabled, with and without glyph, with cut and wrapped
// captions. Live: the buttons respond to the mouse.
// Command line: a number of seconds after which the gallery closes itself
// (for screenshots under a script).
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "win/HSButtonHost.h"

using namespace hs;

namespace {

std::unique_ptr<THSButtonHost> g_host;
std::vector<std::pair<THSSpeedButton*, int>> g_states;  // button, state column
TBitmap32 g_glyph;

enum { colRest, colHot, colDown, colDisabled, colGlyph, colGlyphHot, colGlyphDown, colGlyphDisabled, colCut,
       colWrap, colCount };
const wchar_t* const kColumns[colCount] = {L"rest",          L"hot",       L"down",        L"disabled",
                                           L"glyph",         L"glyph hot", L"glyph down",  L"glyph disabled",
                                           L"caption cut",   L"word wrap"};
const wchar_t* const kStyles[] = {L"bsNormal", L"bsEncarta", L"bsModern", L"bsOld",
                                  L"bsShape",  L"bsQuicken", L"bsGlass"};
const wchar_t* const kColorStyles[] = {L"lcsChrome", L"lcsGreen", L"lcsRed", L"lcsGold"};

constexpr int kLabelW = 90, kCellW = 84, kCellH = 52, kTop = 28, kLeft = 8;

// Four 16 x 16 cells: normal (blue), disabled (grey), down (red), hot
// (green) discs on a teal see-through background.
TBitmap32 MakeGlyph() {
  const TColor key = 0x808000, cells[4] = {0xC00000, 0x808080, 0x0000C0, 0x00A000};
  TBitmap32 g(64, 16, key);
  for (int c = 0; c < 4; ++c)
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        int dx = 2 * x - 15, dy = 2 * y - 15;
        if (dx * dx + dy * dy <= 12 * 12) g.SetPixel(16 * c + x, y, cells[c]);
      }
  return g;
}

void Label(HWND parent, const wchar_t* text, int x, int y, int w) {
  HWND s = CreateWindowExW(0, L"STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT, x, y, w, 16, parent, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
  SendMessageW(s, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), TRUE);
}

void Configure(THSSpeedButton* b, int col) {
  if (col >= colGlyph && col <= colGlyphDisabled) b->SetGlyph(&g_glyph);
  if (col == colCut || col == colWrap) b->SetCaption(L"Two words here");
  if (col == colWrap) b->SetWordWrap(true);
  if (col == colDown || col == colGlyphDown) b->SetDown(true);
  if (col == colDisabled || col == colGlyphDisabled) b->SetEnabled(false);
  if (col == colHot || col == colGlyphHot) g_states.push_back({b, col});
}

void Build(HWND w) {
  g_host = std::make_unique<THSButtonHost>(w);
  g_glyph = MakeGlyph();
  TFont font;
  font.Name = L"Tahoma";
  font.Height = 13;
  font.Bold = true;
  font.Color = clBlack;

  for (int c = 0; c < colCount; ++c) Label(w, kColumns[c], kLeft + kLabelW + c * kCellW, 8, kCellW - 4);
  int row = 0;
  for (int s = 0; s < 7; ++s, ++row) {
    int y = kTop + row * kCellH;
    Label(w, kStyles[s], kLeft, y + 16, kLabelW - 4);
    for (int c = 0; c < colCount; ++c) {
      THSSpeedButton* b =
          g_host->CreateButton(kLeft + kLabelW + c * kCellW, y, kCellW - 7, kCellH - 7, L"&Caption", c, font);
      b->SetColor(0xC0C0C0);
      b->SetBorder(s == bsModern || s == bsQuicken || s == bsGlass ? 3 : 1);
      b->SetStyle(THSButtonStyle(s));
      b->SetLayout(c == colGlyphDown ? blGlyphTop : blGlyphLeft);
      Configure(b, c);
    }
  }
  for (int cs = 0; cs < 4; ++cs, ++row) {
    int y = kTop + row * kCellH;
    Label(w, kColorStyles[cs], kLeft, y + 16, kLabelW - 4);
    for (int c = 0; c < colCount; ++c) {
      // The main window's settings: 77 x 45, Border 1, a short centred caption.
      THSSpeedButton* b =
          g_host->CreateButton(kLeft + kLabelW + c * kCellW, y, 77, 45, c < 4 ? L"1" : L"L", c, font);
      b->SetColor(0xC0C0C0);
      b->SetColorWhenDown(clWhite);
      b->SetColorStyle(THSColorStyle(cs));
      b->SetSlowDecease(sdEnterLeave);
      Configure(b, c);
    }
  }
  // A popup-menu button and a smoothed one below the grid.
  int y = kTop + row * kCellH;
  Label(w, L"extras", kLeft, y + 16, kLabelW - 4);
  THSSpeedButton* popup = g_host->CreateButton(kLeft + kLabelW, y, 120, 45, L"Menu", 0, font);
  popup->SetColorStyle(lcsGold);
  HMENU menu = CreatePopupMenu();
  AppendMenuW(menu, MF_STRING, 1, L"First");
  AppendMenuW(menu, MF_STRING, 2, L"Second");
  popup->SetPopupMenu(menu);
  THSSpeedButton* smooth = g_host->CreateButton(kLeft + kLabelW + 130, y, 120, 45, L"Smooth 2", 0, font);
  smooth->SetColor(0x806040);
  smooth->SetBorder(2);
  smooth->SetSmooth(2);
  THSSpeedButton* shapeDown = g_host->CreateButton(kLeft + kLabelW + 260, y, 120, 45, L"Transparent", 0, font);
  shapeDown->SetColor(0x4080C0);
  shapeDown->SetTransparent(true);
  THSSpeedButton* right = g_host->CreateButton(kLeft + kLabelW + 390, y, 160, 45, L"Right, glyph right", 0, font);
  right->SetColorStyle(lcsRed);
  right->SetGlyph(&g_glyph);
  right->SetLayout(blGlyphRight);
  right->SetAlignment(taRightJustify);
}

LRESULT CALLBACK WndProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  LRESULT r = 0;
  if (g_host && g_host->handle_message(h, m, w, l, r)) return r;
  switch (m) {
    case WM_CREATE:
      Build(h);
      return 0;
    case WM_TIMER:
      if (w == 1) DestroyWindow(h);
      return 0;
    case WM_DESTROY:
      g_host.reset();
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(h, m, w, l);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, PWSTR cmd, int show) {
  WNDCLASSW wc{};
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = WndProc;
  wc.hInstance = inst;
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.lpszClassName = L"HSButtonGallery";
  RegisterClassW(&wc);
  const int rows = 12;
  RECT r{0, 0, kLeft * 2 + kLabelW + colCount * kCellW, kTop + rows * kCellH + 8};
  AdjustWindowRect(&r, WS_OVERLAPPEDWINDOW, FALSE);
  HWND w = CreateWindowExW(0, wc.lpszClassName, L"Colour-style buttons", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0,
                           0, r.right - r.left, r.bottom - r.top, nullptr, nullptr, inst, nullptr);
  ShowWindow(w, show);
  UpdateWindow(w);
  // Hot faces need a showing parent; a real mouse would move them again.
  for (auto& [b, col] : g_states) b->MouseEnter();
  int seconds = cmd && *cmd ? _wtoi(cmd) : 0;
  if (seconds > 0) SetTimer(w, 1, UINT(seconds) * 1000, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
