// The main window's rules, free of any window: what the preset and channel
// buttons show, how an edit changes the settings record, how the record is
// shown in the value controls, how typed spin-box text is read, and the
// arithmetic that places and scales the windows.
#pragma once

#include "USB.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

// The colour styles of the preset and channel buttons, in the order of
// THSColorStyle (lcsChrome, lcsGreen, lcsRed, lcsGold).
enum class Shade : uint8_t { chrome, green, red, gold };

// A record whose preset is 4 or 5 (the reply sanitising lets them through)
// names no preset: nothing may be read or written through it.
bool preset_valid(const TSettings& s);

// Preset button n (b0..b3): green when n is the active preset and its lr is not 0,
// red when it is the active preset with lr 0, chrome otherwise.
Shade preset_button_shade(int n, const TSettings& s);

// lb and rb for an lr value; no value (leave them as they are) for lr of 4 or more.
struct ChannelShades {
  Shade lb, rb;
};
std::optional<ChannelShades> channel_shades(uint8_t lr);
// The same for the active preset; no value as well when the preset is invalid.
std::optional<ChannelShades> channel_shades(const TSettings& s);

// Right click on a preset button: 0 becomes 3, every other value 0.
uint8_t lr_toggled(uint8_t lr);
// lb (tag 1) gives 3 after 2 and 1 otherwise; rb (tag 2) gives 3 after 1 and 2 otherwise.
uint8_t lr_pressed(uint8_t lr, int tag);

// The six colour-style buttons of the main window: b0..b3 are presets 1 to 4.
enum class PanelButton : uint8_t { b0, b1, b2, b3, lb, rb };
inline constexpr std::array<PanelButton, 6> panel_buttons{PanelButton::b0, PanelButton::b1, PanelButton::b2,
                                                          PanelButton::b3, PanelButton::lb, PanelButton::rb};
bool is_preset_button(PanelButton b);
// The Tag the handlers read: the preset number for b0..b3, 1 for lb, 2 for rb.
int button_tag(PanelButton b);

// A press of a button as the mouse makes it, with the right mouse button or
// another. Only the preset buttons tell them apart.
struct ButtonPress {
  PanelButton button;
  bool right_button;
};

// Keyboard shortcuts of the buttons: Ctrl+1..4 are a left click on preset 1..4,
// Ctrl+Shift+1..4 a right click, Ctrl+L and Ctrl+R a click on L and R. `key`
// is the key's character, a digit or an upper-case letter (on Windows its
// virtual-key code).
struct Shortcut {
  char key;
  bool shift;
  ButtonPress press;
};
inline constexpr std::array<Shortcut, 10> shortcuts{{
    {'1', false, {PanelButton::b0, false}},
    {'2', false, {PanelButton::b1, false}},
    {'3', false, {PanelButton::b2, false}},
    {'4', false, {PanelButton::b3, false}},
    {'1', true, {PanelButton::b0, true}},
    {'2', true, {PanelButton::b1, true}},
    {'3', true, {PanelButton::b2, true}},
    {'4', true, {PanelButton::b3, true}},
    {'L', false, {PanelButton::lb, false}},
    {'R', false, {PanelButton::rb, false}},
}};
// The press that a key with these modifiers makes; none when it is no shortcut.
std::optional<ButtonPress> shortcut_press(int key, bool ctrl, bool shift, bool alt);
// "Ctrl+1", "Ctrl+Shift+1", "Ctrl+L"; empty for a press without a shortcut.
std::wstring shortcut_text(ButtonPress press);

// For accessibility clients and tooltips: "Preset 1".."Preset 4", "Left channel", "Right channel".
std::wstring button_name(PanelButton b);
// The tooltip: the button's action and its shortcut.
std::wstring button_hint(PanelButton b);
// Whether a button in this colour style shows a state that is on (pressed to an
// accessibility client): the active preset (green or red), a selected channel
// (gold, or green for both).
bool shows_on(PanelButton b, Shade shade);

// The edits of the main window. Each gives true when it changed the record
// and the record must be saved, false when it was ignored.
bool edit_preset_button(TSettings& s, int n, bool right_button);   // but_sel
bool edit_channel(TSettings& s, int tag);                          // lr_down

// The six value controls, in the order refresh walks them.
enum class ValueField { src, gain, ref, delay, delay_gpi, scale };
inline constexpr std::array<ValueField, 6> value_fields{ValueField::src,   ValueField::gain,
                                                        ValueField::ref,   ValueField::delay,
                                                        ValueField::delay_gpi, ValueField::scale};

// A control's value (an item index for the lists, the number shown for the spin
// boxes) into the active preset's field. The value must lie in the control's range.
bool edit_value(TSettings& s, ValueField field, int value);
// What the control shows for the active preset; no value when the preset is invalid.
std::optional<int> shown_value(const TSettings& s, ValueField field);

// Rounding to nearest with ties to even (1.5 and 2.5 give 2, 3.5 gives 4).
int round_half_even(double x);

// Spin boxes: range and arrow step.
struct SpinRange {
  int min, max, step;
};
inline constexpr SpinRange gain_range{-15, 15, 1};
inline constexpr SpinRange delay_range{0, 170, 10};   // delay and delay_gpi, in ms
// Typed text into a value inside the range: surrounding blanks allowed, an
// optional sign and decimal digits; anything else is not a number (no value).
// Numbers outside the range are clamped to it.
std::optional<int> spin_value(std::string_view text, SpinRange range);

// Items of the drop-down lists.
std::array<std::string, 8> src_items();
std::array<std::string, 32> ref_items();
std::array<std::string, 3> scale_items();

// fmain in the middle of the screen: each size halved (toward zero) before the subtraction.
int centre_on_screen(int screen_size, int window_size);
// fu over fmain: the difference of the sizes halved.
int centre_over(int outer_pos, int outer_size, int inner_size);
// Layout pixels at 96 DPI into pixels at `dpi`, rounded to nearest.
int scale_px(int px, int dpi);

// The About box: "Model: ", "Serial: ", "Firmware version: " with the dialog's fields, CR LF between.
std::wstring about_text(std::wstring_view model, std::wstring_view serial, std::wstring_view version);
