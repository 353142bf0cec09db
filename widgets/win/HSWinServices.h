// The Windows services of the colour-style buttons: GDI text drawn into a DIB
// copy of the face, GetSysColor, the screen's colour depth and SetTimer timers.
// A THSButtonHost makes its own unless it is given one.
#pragma once

#include <memory>

#include "../HSButtons.h"

namespace hs {

class THSWin32Services : public THSButtonServices {
 public:
  THSWin32Services();
  ~THSWin32Services() override;
  THSWin32Services(const THSWin32Services&) = delete;
  THSWin32Services& operator=(const THSWin32Services&) = delete;

  THSTextEngine& Text() override { return *FText; }
  TColor SysColor(int index) override;
  int ScreenBitsPerPixel() override;
  // One backend for the process: a timer's ticks find it also after the
  // services that started it are gone.
  THSTimerBackend* Timers() override;

 private:
  std::unique_ptr<THSTextEngine> FText;  // holds a memory DC and a font
};

}  // namespace hs
