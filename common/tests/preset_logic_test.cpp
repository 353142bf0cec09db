#include "PresetLogic.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TSettings record(uint8_t preset) {
  TSettings s{};
  s.preset = preset;
  for (int p = 0; p < 4; ++p) {
    s.lr[p] = static_cast<uint8_t>(p);   // preset p starts with lr p
    s.src[p] = static_cast<uint8_t>(p + 1);
    s.gain[p] = static_cast<int8_t>(p - 2);
    s.ref[p] = static_cast<uint8_t>(10 + p);
    s.scale[p] = static_cast<uint8_t>(p % 3);
    s.delay[p] = static_cast<uint8_t>(p + 3);
    s.delay_gpi[p] = static_cast<uint8_t>(p + 5);
  }
  return s;
}

bool same(const TSettings& a, const TSettings& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(PresetButtons, RightClickTogglesThatPresetsLrLeftClickSelectsIt) {
  struct Case {
    uint8_t active;
    int pressed;
    bool right;
    uint8_t lr_before;
    uint8_t expect_preset;
    uint8_t expect_lr;
  } cases[] = {
      {1, 3, true, 0, 1, 3},    // other preset: its lr toggles, the active preset stays
      {1, 3, true, 3, 1, 0},
      {1, 3, true, 1, 1, 0},    // 1 and 2 toggle to 0, not to 3
      {1, 3, true, 2, 1, 0},
      {1, 3, true, 9, 1, 0},
      {1, 1, true, 0, 1, 3},    // the active preset itself
      {1, 3, false, 2, 3, 2},   // left click: preset changes, lr untouched
      {2, 2, false, 0, 2, 0},
      {5, 0, false, 1, 0, 1},   // a left click mends an invalid preset
      {4, 2, true, 0, 4, 3},    // a right click names its own preset, valid or not
  };
  for (const auto& c : cases) {
    TSettings s = record(c.active);
    s.lr[c.pressed] = c.lr_before;
    TSettings expect = s;
    expect.preset = c.expect_preset;
    expect.lr[c.pressed] = c.expect_lr;
    EXPECT_TRUE(edit_preset_button(s, c.pressed, c.right));
    EXPECT_TRUE(same(s, expect)) << "active " << int(c.active) << " pressed " << c.pressed << " right " << c.right;
  }
}

TEST(ChannelButtons, LrAfterPressMatchesTable) {
  // lr before -> after lb, after rb
  const uint8_t table[][3] = {{0, 1, 2}, {1, 1, 3}, {2, 3, 2}, {3, 1, 2}, {4, 1, 2}, {200, 1, 2}, {255, 1, 2}};
  for (const auto& row : table) {
    for (int tag : {1, 2}) {
      TSettings s = record(2);
      s.lr[2] = row[0];
      TSettings expect = s;
      expect.lr[2] = row[tag];
      EXPECT_TRUE(edit_channel(s, tag));
      EXPECT_TRUE(same(s, expect)) << "lr " << int(row[0]) << " tag " << tag;
    }
  }
}

TEST(ChannelButtons, SequenceFromTwo) {
  TSettings s = record(0);
  s.lr[0] = 2;
  edit_channel(s, 1);
  EXPECT_EQ(s.lr[0], 3);
  edit_channel(s, 1);
  EXPECT_EQ(s.lr[0], 1);
  edit_channel(s, 2);
  EXPECT_EQ(s.lr[0], 3);
}

TEST(Shortcuts, EachShortcutMakesTheEditOfTheClickItStandsFor) {
  // The edit of a click, as the window's handlers make it from the button's Tag.
  auto clicked = [](TSettings s, ButtonPress p) {
    if (is_preset_button(p.button))
      edit_preset_button(s, button_tag(p.button), p.right_button);
    else
      edit_channel(s, button_tag(p.button));
    return s;
  };
  struct Case {
    int key;
    bool shift;
    const wchar_t* text;   // the shortcut as the hint and accessibility clients name it
    void (*change)(TSettings&);
  } cases[] = {
      {'1', false, L"Ctrl+1", [](TSettings& s) { s.preset = 0; }},
      {'3', false, L"Ctrl+3", [](TSettings& s) { s.preset = 2; }},
      {'4', false, L"Ctrl+4", [](TSettings& s) { s.preset = 3; }},
      {'1', true, L"Ctrl+Shift+1", [](TSettings& s) { s.lr[0] = 3; }},   // another preset's lr: 0 to 3
      {'2', true, L"Ctrl+Shift+2", [](TSettings& s) { s.lr[1] = 0; }},   // the active one's: 2 to 0
      {'4', true, L"Ctrl+Shift+4", [](TSettings& s) { s.lr[3] = 0; }},
      {'L', false, L"Ctrl+L", [](TSettings& s) { s.lr[1] = 3; }},        // L after 2 gives 3
      {'R', false, L"Ctrl+R", [](TSettings& s) { s.lr[1] = 2; }},
  };
  for (const auto& c : cases) {
    TSettings s = record(1);
    s.lr[1] = 2;
    TSettings expect = s;
    c.change(expect);
    const auto press = shortcut_press(c.key, true, c.shift, false);
    ASSERT_TRUE(press.has_value()) << c.text;
    EXPECT_TRUE(same(clicked(s, *press), expect)) << c.text;
    EXPECT_EQ(shortcut_text(*press), c.text);
  }
  // Not shortcuts: no Ctrl, Ctrl+Alt (AltGr), other keys, Shift with L, the keypad's 1 (0x61).
  struct Other {
    int key;
    bool ctrl, shift, alt;
  } others[] = {{'1', false, false, false}, {'1', true, false, true}, {'5', true, false, false},
                {'L', true, true, false},   {'l', true, false, false}, {'R', false, true, false}};
  for (const auto& o : others)
    EXPECT_FALSE(shortcut_press(o.key, o.ctrl, o.shift, o.alt).has_value())
        << o.key << " ctrl " << o.ctrl << " shift " << o.shift << " alt " << o.alt;
}

TEST(Shades, PresetButtonsFollowActivePresetAndItsLr) {
  struct Case {
    uint8_t preset, lr;
    Shade b[4];
  } cases[] = {
      {0, 0, {Shade::red, Shade::chrome, Shade::chrome, Shade::chrome}},
      {2, 1, {Shade::chrome, Shade::chrome, Shade::green, Shade::chrome}},
      {3, 3, {Shade::chrome, Shade::chrome, Shade::chrome, Shade::green}},
      {1, 4, {Shade::chrome, Shade::green, Shade::chrome, Shade::chrome}},
      {1, 255, {Shade::chrome, Shade::green, Shade::chrome, Shade::chrome}},
      {4, 0, {Shade::chrome, Shade::chrome, Shade::chrome, Shade::chrome}},
      {5, 3, {Shade::chrome, Shade::chrome, Shade::chrome, Shade::chrome}},
  };
  for (const auto& c : cases) {
    TSettings s{};
    s.preset = c.preset;
    if (c.preset < 4) s.lr[c.preset] = c.lr;
    for (int n = 0; n < 4; ++n)
      EXPECT_EQ(preset_button_shade(n, s), c.b[n]) << "preset " << int(c.preset) << " lr " << int(c.lr) << " b" << n;
  }
}

TEST(Shades, ChannelButtonsTable) {
  struct Case {
    uint8_t lr;
    Shade lb, rb;
  } cases[] = {{0, Shade::red, Shade::red},
               {1, Shade::gold, Shade::chrome},
               {2, Shade::chrome, Shade::gold},
               {3, Shade::green, Shade::green}};
  for (const auto& c : cases) {
    auto shades = channel_shades(c.lr);
    ASSERT_TRUE(shades.has_value()) << int(c.lr);
    EXPECT_EQ(shades->lb, c.lb) << int(c.lr);
    EXPECT_EQ(shades->rb, c.rb) << int(c.lr);
  }
  for (int lr : {4, 5, 128, 255}) EXPECT_FALSE(channel_shades(static_cast<uint8_t>(lr)).has_value()) << lr;
}

TEST(InvalidPreset, NothingIsReadOrWrittenThroughPresetFourOrFive) {
  for (uint8_t preset : {4, 5}) {
    TSettings s = record(preset);
    const TSettings before = s;
    EXPECT_FALSE(edit_channel(s, 1));
    EXPECT_FALSE(edit_channel(s, 2));
    for (ValueField f : value_fields) {
      EXPECT_FALSE(edit_value(s, f, 0));
      EXPECT_FALSE(shown_value(s, f).has_value());
    }
    EXPECT_TRUE(same(s, before));
    EXPECT_FALSE(channel_shades(s).has_value());
  }
}

TEST(ValueEdits, ControlValueToActivePresetsField) {
  struct Case {
    ValueField field;
    int value;
    int stored;   // byte stored in the active preset's field
  } cases[] = {
      {ValueField::src, 0, 0},        {ValueField::src, 7, 7},
      {ValueField::gain, -15, 0xF1},  {ValueField::gain, 15, 15},      {ValueField::gain, 0, 0},
      {ValueField::ref, 31, 31},      {ValueField::scale, 2, 2},
      {ValueField::delay, 15, 2},     {ValueField::delay, 25, 2},      {ValueField::delay, 35, 4},
      {ValueField::delay, 170, 17},   {ValueField::delay, 4, 0},       {ValueField::delay, 6, 1},
      {ValueField::delay_gpi, 15, 2}, {ValueField::delay_gpi, 45, 4},  {ValueField::delay_gpi, 170, 17},
  };
  for (const auto& c : cases) {
    TSettings s = record(2);
    TSettings expect = s;
    uint8_t* field = nullptr;
    switch (c.field) {
      case ValueField::src: field = expect.src; break;
      case ValueField::gain: field = reinterpret_cast<uint8_t*>(expect.gain); break;
      case ValueField::ref: field = expect.ref; break;
      case ValueField::delay: field = expect.delay; break;
      case ValueField::delay_gpi: field = expect.delay_gpi; break;
      case ValueField::scale: field = expect.scale; break;
    }
    field[2] = static_cast<uint8_t>(c.stored);
    EXPECT_TRUE(edit_value(s, c.field, c.value));
    EXPECT_TRUE(same(s, expect)) << "field " << int(c.field) << " value " << c.value;
  }
}

TEST(ValueEdits, ValuesOutsideTheControlsRangeAreRefused) {
  struct Case {
    ValueField field;
    int value;
  } cases[] = {{ValueField::src, 8},     {ValueField::src, -1},      {ValueField::gain, 16},
               {ValueField::gain, -16},  {ValueField::ref, 32},      {ValueField::scale, 3},
               {ValueField::delay, 171}, {ValueField::delay, -1},    {ValueField::delay_gpi, 400}};
  for (const auto& c : cases) {
    TSettings s = record(1);
    const TSettings before = s;
    EXPECT_FALSE(edit_value(s, c.field, c.value)) << int(c.field) << " " << c.value;
    EXPECT_TRUE(same(s, before));
  }
}

TEST(Shown, RecordToControls) {
  TSettings s = record(3);
  s.src[3] = 13;   // the device may keep 8..15
  s.gain[3] = -15;
  s.ref[3] = 31;
  s.scale[3] = 2;
  s.delay[3] = 34;   // 340 ms, beyond the spin box
  s.delay_gpi[3] = 17;
  EXPECT_EQ(shown_value(s, ValueField::src), 5);
  EXPECT_EQ(shown_value(s, ValueField::gain), -15);
  EXPECT_EQ(shown_value(s, ValueField::ref), 31);
  EXPECT_EQ(shown_value(s, ValueField::scale), 2);
  EXPECT_EQ(shown_value(s, ValueField::delay), 170);
  EXPECT_EQ(shown_value(s, ValueField::delay_gpi), 170);
  s.delay[3] = 16;
  EXPECT_EQ(shown_value(s, ValueField::delay), 160);
  s.delay[3] = 18;
  EXPECT_EQ(shown_value(s, ValueField::delay), 170);
}

TEST(Shown, SourceEightToFifteenShowsLowThreeBitsAndRecordKeepsItUntilChosen) {
  for (int v = 8; v <= 15; ++v) {
    TSettings s = record(0);
    s.src[0] = static_cast<uint8_t>(v);
    EXPECT_EQ(shown_value(s, ValueField::src), v & 7);
    EXPECT_EQ(s.src[0], v);   // showing writes nothing
    edit_value(s, ValueField::src, v & 7);
    EXPECT_EQ(s.src[0], v & 7);
  }
}

TEST(Rounding, TiesGoToEven) {
  const std::pair<double, int> cases[] = {{0.5, 0}, {1.5, 2},  {2.5, 2},   {3.5, 4},  {1.4, 1},
                                          {1.6, 2}, {-1.5, -2}, {-2.5, -2}, {17.0, 17}, {0.0, 0}};
  for (auto [x, expect] : cases) EXPECT_EQ(round_half_even(x), expect) << x;
}

TEST(SpinText, NumbersAreClampedAndAnythingElseIgnored) {
  struct Case {
    const char* text;
    SpinRange range;
    std::optional<int> expect;
  } cases[] = {
      {"5", gain_range, 5},          {"-15", gain_range, -15},     {"+7", gain_range, 7},
      {" 12 ", gain_range, 12},      {"-16", gain_range, -15},     {"99", gain_range, 15},
      {"-99999999999999", gain_range, -15},                        {"200", delay_range, 170},
      {"15", delay_range, 15},       {"-5", delay_range, 0},       {"0", delay_range, 0},
      {"", gain_range, std::nullopt},   {"-", gain_range, std::nullopt},   {"+", delay_range, std::nullopt},
      {"1a", gain_range, std::nullopt}, {"abc", delay_range, std::nullopt}, {"1 2", delay_range, std::nullopt},
      {"1.5", delay_range, std::nullopt}, {"--1", gain_range, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(spin_value(c.text, c.range), c.expect) << '"' << c.text << '"';
}

TEST(Lists, Items) {
  auto src = src_items();
  EXPECT_EQ(src[0], "Ch_1-2");
  EXPECT_EQ(src[4], "Ch_9-10");
  EXPECT_EQ(src[7], "Ch_15-16");
  auto ref = ref_items();
  EXPECT_EQ(ref[0], " 0 dBFS");
  EXPECT_EQ(ref[1], "-1 dBFS");
  EXPECT_EQ(ref[31], "-31 dBFS");
  auto scale = scale_items();
  EXPECT_EQ(scale[0], "dB");
  EXPECT_EQ(scale[1], "dBFS");
  EXPECT_EQ(scale[2], "dB-18..+10");
}

TEST(Placement, MainWindowHalvesEachSizeDialogHalvesTheDifference) {
  EXPECT_EQ(centre_on_screen(1366, 281), 543);   // 683 - 140; halving the difference gives 542
  EXPECT_EQ(centre_on_screen(1280, 290), 495);
  EXPECT_EQ(centre_on_screen(1024, 1025), 0);    // 512 - 512
  EXPECT_EQ(centre_on_screen(200, 281), -40);    // smaller screen: off to the left, not clamped
  EXPECT_EQ(centre_over(543, 281, 160), 603);    // 543 + 121 / 2
  EXPECT_EQ(centre_over(100, 150, 161), 95);     // -11 / 2 rounds toward zero: -5
  EXPECT_EQ(centre_over(-40, 281, 160), 20);
}

TEST(Placement, DpiScaling) {
  EXPECT_EQ(scale_px(274, 96), 274);
  EXPECT_EQ(scale_px(274, 144), 411);
  EXPECT_EQ(scale_px(13, 120), 16);    // 16.25
  EXPECT_EQ(scale_px(11, 120), 14);    // 13.75
  EXPECT_EQ(scale_px(-15, 144), -23);  // -22.5 rounds away from zero like MulDiv
}

TEST(About, ThreeLinesJoinedByCrLf) {
  EXPECT_EQ(about_text(L"MX-540KTR", L"0042", L"1.16"),
            L"Model: MX-540KTR\r\nSerial: 0042\r\nFirmware version: 1.16");
  EXPECT_EQ(about_text(L"", L"", L""), L"Model: \r\nSerial: \r\nFirmware version: ");
}

}  // namespace
