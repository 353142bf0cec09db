#include "settings_layout.h"

#include <algorithm>

void sanitize_settings(TSettings& s) {
  s.preset %= 6;
  for (int p = 0; p < 4; ++p) {
    s.src[p] &= 0x0F;
    s.gain[p] = static_cast<int8_t>(std::clamp<int>(s.gain[p], -15, 15));
    s.delay[p] %= 35;
    s.delay_gpi[p] %= 18;
    s.ref[p] &= 0x1F;
    s.scale[p] %= 3;
  }
}
