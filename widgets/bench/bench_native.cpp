// Time to paint one 77 x 45 bsModern face with its caption (block font).
#include <benchmark/benchmark.h>

#include "HSSpeedButton.h"

using namespace hs;

static void BM_ModernFace77x45(benchmark::State& state) {
  THSSpeedButton b;
  b.SetBounds(0, 0, 77, 45);
  b.SetCaption(L"1");
  TFont f;
  f.Height = 13;
  f.Bold = true;
  b.SetFont(f);
  b.SetColorStyle(lcsGreen);
  for (auto _ : state) {
    TBitmap32 face = b.RenderFace();
    benchmark::DoNotOptimize(face.Bits());
  }
}
BENCHMARK(BM_ModernFace77x45);

static void BM_SixFacesRefresh(benchmark::State& state) {
  THSSpeedButton buttons[6];
  const THSColorStyle styles[6] = {lcsGreen, lcsChrome, lcsChrome, lcsChrome, lcsGold, lcsChrome};
  for (int i = 0; i < 6; ++i) {
    buttons[i].SetBounds(0, 0, i < 4 ? 77 : 40, 45);
    buttons[i].SetCaption(std::wstring(1, L"1234LR"[i]));
    buttons[i].SetColorStyle(styles[i]);
  }
  for (auto _ : state)
    for (auto& b : buttons) {
      TBitmap32 face = b.RenderFace();
      benchmark::DoNotOptimize(face.Bits());
    }
}
BENCHMARK(BM_SixFacesRefresh);

BENCHMARK_MAIN();
