#include "PresetLogic.h"

#include <algorithm>
#include <cmath>

bool preset_valid(const TSettings& s) { return s.preset < 4; }

Shade preset_button_shade(int n, const TSettings& s) {
  if (!preset_valid(s) || n != s.preset) return Shade::chrome;
  return s.lr[s.preset] != 0 ? Shade::green : Shade::red;
}

std::optional<ChannelShades> channel_shades(uint8_t lr) {
  switch (lr) {
    case 0: return ChannelShades{Shade::red, Shade::red};
    case 1: return ChannelShades{Shade::gold, Shade::chrome};
    case 2: return ChannelShades{Shade::chrome, Shade::gold};
    case 3: return ChannelShades{Shade::green, Shade::green};
    default: return std::nullopt;
  }
}

std::optional<ChannelShades> channel_shades(const TSettings& s) {
  if (!preset_valid(s)) return std::nullopt;
  return channel_shades(s.lr[s.preset]);
}

uint8_t lr_toggled(uint8_t lr) { return lr == 0 ? 3 : 0; }

uint8_t lr_pressed(uint8_t lr, int tag) {
  if (tag == 1) return lr == 2 ? 3 : 1;
  return lr == 1 ? 3 : 2;
}

bool edit_preset_button(TSettings& s, int n, bool right_button) {
  if (n < 0 || n > 3) return false;
  if (right_button)
    s.lr[n] = lr_toggled(s.lr[n]);
  else
    s.preset = static_cast<uint8_t>(n);
  return true;
}

bool edit_channel(TSettings& s, int tag) {
  if (!preset_valid(s) || (tag != 1 && tag != 2)) return false;
  s.lr[s.preset] = lr_pressed(s.lr[s.preset], tag);
  return true;
}

bool is_preset_button(PanelButton b) { return b != PanelButton::lb && b != PanelButton::rb; }

int button_tag(PanelButton b) {
  switch (b) {
    case PanelButton::lb: return 1;
    case PanelButton::rb: return 2;
    default: return static_cast<int>(b);
  }
}

std::optional<ButtonPress> shortcut_press(int key, bool ctrl, bool shift, bool alt) {
  // Ctrl+Alt is AltGr on many keyboards, which types characters.
  if (!ctrl || alt) return std::nullopt;
  for (const Shortcut& s : shortcuts)
    if (s.key == key && s.shift == shift) return s.press;
  return std::nullopt;
}

std::wstring shortcut_text(ButtonPress press) {
  for (const Shortcut& s : shortcuts)
    if (s.press.button == press.button && s.press.right_button == press.right_button)
      return std::wstring(s.shift ? L"Ctrl+Shift+" : L"Ctrl+") + static_cast<wchar_t>(s.key);
  return {};
}

std::wstring button_name(PanelButton b) {
  switch (b) {
    case PanelButton::lb: return L"Left channel";
    case PanelButton::rb: return L"Right channel";
    default: return L"Preset " + std::to_wstring(button_tag(b) + 1);
  }
}

std::wstring button_hint(PanelButton b) {
  const std::wstring key = shortcut_text({b, false});
  switch (b) {
    case PanelButton::lb: return L"Select the left channel of the active preset (" + key + L")";
    case PanelButton::rb: return L"Select the right channel of the active preset (" + key + L")";
    default:
      return L"Make preset " + std::to_wstring(button_tag(b) + 1) + L" active (" + key +
             L")\nRight-click: toggle its left/right mode (" + shortcut_text({b, true}) + L")";
  }
}

bool shows_on(PanelButton b, Shade shade) {
  if (is_preset_button(b)) return shade != Shade::chrome;
  return shade == Shade::gold || shade == Shade::green;
}

namespace {
bool in(int v, int lo, int hi) { return v >= lo && v <= hi; }
}  // namespace

bool edit_value(TSettings& s, ValueField field, int value) {
  if (!preset_valid(s)) return false;
  const int p = s.preset;
  switch (field) {
    case ValueField::src:
      if (!in(value, 0, 7)) return false;
      s.src[p] = static_cast<uint8_t>(value);
      return true;
    case ValueField::gain:
      if (!in(value, gain_range.min, gain_range.max)) return false;
      s.gain[p] = static_cast<int8_t>(value);
      return true;
    case ValueField::ref:
      if (!in(value, 0, 31)) return false;
      s.ref[p] = static_cast<uint8_t>(value);
      return true;
    case ValueField::delay:
      if (!in(value, delay_range.min, delay_range.max)) return false;
      s.delay[p] = static_cast<uint8_t>(round_half_even(value / 10.0));
      return true;
    case ValueField::delay_gpi:
      if (!in(value, delay_range.min, delay_range.max)) return false;
      s.delay_gpi[p] = static_cast<uint8_t>(round_half_even(value / 10.0));
      return true;
    case ValueField::scale:
      if (!in(value, 0, 2)) return false;
      s.scale[p] = static_cast<uint8_t>(value);
      return true;
  }
  return false;
}

std::optional<int> shown_value(const TSettings& s, ValueField field) {
  if (!preset_valid(s)) return std::nullopt;
  const int p = s.preset;
  switch (field) {
    case ValueField::src: return s.src[p] & 7;
    case ValueField::gain: return std::clamp<int>(s.gain[p], gain_range.min, gain_range.max);
    case ValueField::ref: return std::min<int>(s.ref[p], 31);
    // The device keeps up to 34 delay steps; the spin box stops at 170 ms.
    case ValueField::delay: return std::min(s.delay[p] * 10, delay_range.max);
    case ValueField::delay_gpi: return std::min(s.delay_gpi[p] * 10, delay_range.max);
    case ValueField::scale: return std::min<int>(s.scale[p], 2);
  }
  return std::nullopt;
}

int round_half_even(double x) {
  // nearbyint under the default rounding mode rounds half to even.
  return static_cast<int>(std::nearbyint(x));
}

std::optional<int> spin_value(std::string_view text, SpinRange range) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  long long magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    // Saturate: any long number is far outside every range and clamps the same way.
    magnitude = std::min(magnitude * 10 + (c - '0'), 1'000'000'000LL);
  }
  const long long v = negative ? -magnitude : magnitude;
  return static_cast<int>(std::clamp<long long>(v, range.min, range.max));
}

std::array<std::string, 8> src_items() {
  std::array<std::string, 8> items;
  for (int n = 0; n < 8; ++n)
    items[n] = "Ch_" + std::to_string(2 * n + 1) + "-" + std::to_string(2 * n + 2);
  return items;
}

std::array<std::string, 32> ref_items() {
  std::array<std::string, 32> items;
  items[0] = " 0 dBFS";
  for (int n = 1; n < 32; ++n) items[n] = "-" + std::to_string(n) + " dBFS";
  return items;
}

std::array<std::string, 3> scale_items() { return {"dB", "dBFS", "dB-18..+10"}; }

int centre_on_screen(int screen_size, int window_size) { return screen_size / 2 - window_size / 2; }

int centre_over(int outer_pos, int outer_size, int inner_size) {
  return outer_pos + (outer_size - inner_size) / 2;
}

int scale_px(int px, int dpi) {
  const long long scaled = static_cast<long long>(px) * dpi;
  return static_cast<int>(scaled >= 0 ? (scaled + 48) / 96 : -((-scaled + 48) / 96));
}

std::wstring about_text(std::wstring_view model, std::wstring_view serial, std::wstring_view version) {
  std::wstring text = L"Model: ";
  text += model;
  text += L"\r\nSerial: ";
  text += serial;
  text += L"\r\nFirmware version: ";
  text += version;
  return text;
}
