#include "HSWinServices.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "HSDibSurface.h"
#include "win32/handles.h"

namespace hs {

namespace {

UINT AlignFlags(TAlignment a) {
  switch (a) {
    case taLeftJustify: return DT_LEFT;
    case taRightJustify: return DT_RIGHT;
    default: return DT_CENTER;
  }
}

class TGdiTextEngine : public THSTextEngine {
 public:
  TGdiTextEngine() : FDC(CreateCompatibleDC(nullptr)) {}

  int LineWidth(const TFont& font, std::wstring_view text) override {
    if (text.empty()) return 0;
    Select(font);
    RECT r{0, 0, 0, 0};
    DrawTextW(FDC.get(), text.data(), int(text.size()), &r, DT_CALCRECT | DT_SINGLELINE);
    return r.right - r.left;
  }

  void Measure(const TFont& font, std::wstring_view text, int width, int& height, int& right) override {
    height = right = 0;
    if (text.empty()) return;
    Select(font);
    RECT r{0, 0, width, 0};
    DrawTextW(FDC.get(), text.data(), int(text.size()), &r, DT_CALCRECT | DT_WORDBREAK);
    height = r.bottom - r.top;
    right = r.right;
  }

  void Draw(TBitmap32& image, const TFont& font, std::wstring_view text, const TRect& r,
            TAlignment alignment) override {
    if (text.empty() || image.Empty()) return;
    const int top = std::max(r.Top, 0), bottom = std::min(r.Bottom, image.Height());
    if (top >= bottom || r.Left >= image.Width() || r.Right <= 0) return;
    if (!FSurface.Ensure(FDC.get(), image.Width(), image.Height())) return;
    // Only the rows the text may touch travel to GDI and back.
    const std::size_t rowBytes = std::size_t(image.Width()) * 4;
    for (int y = top; y < bottom; ++y)
      std::memcpy(FSurface.bits + std::size_t(y) * image.Width(), image.Row(y), rowBytes);
    // Smoothed text over the see-through key would leave a magenta fringe
    // around every glyph once the key is left out; over the key the text
    // is drawn with plain pixels instead.
    bool overKey = false;
    const int left = std::max(r.Left, 0), right = std::min(r.Right, image.Width());
    for (int y = top; y < bottom && !overKey; ++y)
      for (int x = left; x < right; ++x)
        if ((image.Row(y)[x] & 0xFFFFFF) == 0xFF00FF) {
          overKey = true;
          break;
        }
    Select(font, overKey ? NONANTIALIASED_QUALITY : DEFAULT_QUALITY);
    SetBkMode(FDC.get(), TRANSPARENT);
    SetTextColor(FDC.get(), ColorToRGB(font.Color));
    RECT rc{r.Left, r.Top, r.Right, r.Bottom};
    DrawTextW(FDC.get(), text.data(), int(text.size()), &rc, DT_WORDBREAK | AlignFlags(alignment));
    GdiFlush();
    for (int y = top; y < bottom; ++y) {
      std::uint32_t* dst = image.Row(y);
      const std::uint32_t* src = FSurface.bits + std::size_t(y) * image.Width();
      // GDI clears the fourth byte of what it draws; the face keeps only RGB.
      for (int x = 0; x < image.Width(); ++x) dst[x] = src[x] & 0xFFFFFF;
    }
  }

 private:
  void Select(const TFont& font, DWORD quality = DEFAULT_QUALITY) {
    if (FFontHandle && quality == FQuality && font.Name == FFont.Name && font.Height == FFont.Height &&
        font.Bold == FFont.Bold && font.Italic == FFont.Italic && font.Underline == FFont.Underline &&
        font.StrikeOut == FFont.StrikeOut)
      return;
    win32::TGdiObject<HFONT> f(CreateFontW(-font.Height, 0, 0, 0, font.Bold ? FW_BOLD : FW_NORMAL, font.Italic,
                                           font.Underline, font.StrikeOut, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                           CLIP_DEFAULT_PRECIS, quality, DEFAULT_PITCH | FF_DONTCARE,
                                           font.Name.c_str()));
    if (FFontSelection)
      SelectObject(FDC.get(), f.get());
    else
      FFontSelection = win32::TSelection(FDC.get(), f.get());
    FFontHandle = std::move(f);  // the previous font, no longer selected, is deleted
    FFont = font;
    FQuality = quality;
  }

  // Ended in reverse order: the DC gets its font and bitmap back before
  // they are deleted, and is deleted last.
  win32::TMemoryDC FDC;
  TDibSurface FSurface;
  win32::TGdiObject<HFONT> FFontHandle;
  win32::TSelection FFontSelection;  // the DC's font before the first one made here
  TFont FFont;
  DWORD FQuality = DEFAULT_QUALITY;
};

// Thread timers without a window: DispatchMessage calls the TimerProc, so the
// ticks run in whatever message loop the UI thread is in (modal ones too).
class TWinTimerBackend : public THSTimerBackend {
 public:
  void Start(THSButtonTimer& timer, unsigned intervalMs) override {
    UINT_PTR id = SetTimer(nullptr, 0, intervalMs, &TWinTimerBackend::Proc);
    if (id) Timers()[id] = &timer;
  }
  void Stop(THSButtonTimer& timer) override {
    auto& map = Timers();
    for (auto it = map.begin(); it != map.end(); ++it)
      if (it->second == &timer) {
        KillTimer(nullptr, it->first);
        map.erase(it);
        return;
      }
  }

 private:
  static std::map<UINT_PTR, THSButtonTimer*>& Timers() {
    static std::map<UINT_PTR, THSButtonTimer*> timers;
    return timers;
  }
  static void CALLBACK Proc(HWND, UINT, UINT_PTR id, DWORD) {
    auto& map = Timers();
    auto it = map.find(id);
    if (it != map.end()) it->second->Tick();
  }
};

}  // namespace

THSWin32Services::THSWin32Services() : FText(std::make_unique<TGdiTextEngine>()) {}
THSWin32Services::~THSWin32Services() = default;

TColor THSWin32Services::SysColor(int index) { return GetSysColor(index); }

int THSWin32Services::ScreenBitsPerPixel() {
  const win32::TWindowDC screen(nullptr);
  const int bits = GetDeviceCaps(screen.get(), BITSPIXEL) * GetDeviceCaps(screen.get(), PLANES);
  return bits;
}

THSTimerBackend* THSWin32Services::Timers() {
  static TWinTimerBackend timers;
  return &timers;
}

}  // namespace hs
