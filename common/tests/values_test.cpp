// `set`'s KEY=VALUE pairs: the panel's item texts, units, conversions and ranges.
#include "SettingValues.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace mx::ctl;

TEST(SetPairs, ValuesByTextIndexAndUnitWithinThePanelsRanges) {
  constexpr int no = 999;   // refused
  struct Case {
    const char* text;
    Key key;
    int stored;
  } cases[] = {
      {"active=1", Key::active, 0},       {"active=4", Key::active, 3},       {"active=0", Key::active, no},
      {"active=5", Key::active, no},      {"ACTIVE=2", Key::active, 1},       {"lr=off", Key::lr, 0},
      {"lr=l", Key::lr, 1},               {"lr=R", Key::lr, 2},               {"lr=Lr", Key::lr, 3},
      {"lr=3", Key::lr, 3},               {"lr=4", Key::lr, no},              {"lr=both", Key::lr, no},
      {"src=Ch_1-2", Key::src, 0},        {"src=ch_15-16", Key::src, 7},      {"src=7", Key::src, 7},
      {"src=8", Key::src, no},            {"src=Ch_17-18", Key::src, no},     {"gain=0", Key::gain, 0},
      {"gain=-15", Key::gain, -15},       {"gain=+15dB", Key::gain, 15},      {"gain=7 db", Key::gain, 7},
      {"gain=16", Key::gain, no},         {"gain=1.5", Key::gain, no},        {"gain=", Key::gain, no},
      {"ref=-18 dBFS", Key::ref, 18},     {"ref=-18", Key::ref, 18},          {"ref=18", Key::ref, 18},
      {"ref=0 dBFS", Key::ref, 0},        {"ref=0", Key::ref, 0},             {"ref=-31dbfs", Key::ref, 31},
      {"ref=-32", Key::ref, no},          {"ref=32", Key::ref, no},           {"delay=0", Key::delay, 0},
      {"delay=170", Key::delay, 17},      {"delay=170ms", Key::delay, 17},    {"delay=25", Key::delay, 2},
      {"delay=35", Key::delay, 4},        {"delay=175", Key::delay, no},      {"delay=-10", Key::delay, no},
      {"delay=180", Key::delay, no},      {"gpi=90 ms", Key::gpi, 9},         {"gpi=171", Key::gpi, no},
      {"scale=dB", Key::scale, 0},        {"scale=DBFS", Key::scale, 1},      {"scale=db-18..+10", Key::scale, 2},
      {"scale=2", Key::scale, 2},         {"scale=3", Key::scale, no},        {"scale=dB-18", Key::scale, no},
  };
  for (const auto& c : cases) {
    PairError error;
    const auto pair = parse_pair(c.text, error);
    if (c.stored == no) {
      EXPECT_FALSE(pair) << c.text;
      // The error names the key, the value and the allowed range.
      const std::string text = c.text;
      const std::string value = text.substr(text.find('=') + 1);
      EXPECT_NE(error.text.find(value), std::string::npos) << error.text;
      EXPECT_NE(error.text.find("takes"), std::string::npos) << error.text;
      continue;
    }
    ASSERT_TRUE(pair) << c.text << ": " << error.text;
    EXPECT_EQ(pair->key, c.key) << c.text;
    EXPECT_EQ(pair->stored, c.stored) << c.text;
  }
}

TEST(SetPairs, MalformedPairsAndUnknownKeysAreNamed) {
  for (const char* text : {"gain", "volume=3", "=3", ""}) {
    PairError error;
    EXPECT_FALSE(parse_pair(text, error)) << text;
    EXPECT_FALSE(error.text.empty()) << text;
  }
  PairError error;
  parse_pair("gain=20", error);
  EXPECT_EQ(error.text, "gain=20 is not allowed: gain takes -15 to 15 dB");
}

TEST(SetPairs, ValueKeysChangeTheChosenPresetOrTheActiveOne) {
  TSettings base{};
  base.preset = 1;
  struct Case {
    std::vector<Pair> pairs;
    std::optional<int> preset;
    int changed_preset;   // -1: refused
    uint8_t active_after;
  } cases[] = {
      {{{Key::gain, 5}}, std::nullopt, 1, 1},                     // the active preset
      {{{Key::gain, 5}}, 3, 3, 1},                                 // --preset 4
      {{{Key::gain, 5}, {Key::active, 2}}, std::nullopt, 2, 2},   // the new active preset, whatever the order
      {{{Key::active, 0}, {Key::gain, 5}}, 2, 2, 0},
  };
  for (const auto& c : cases) {
    TSettings s = base;
    ASSERT_TRUE(apply_pairs(s, c.pairs, c.preset));
    EXPECT_EQ(s.preset, c.active_after);
    for (int p = 0; p < 4; ++p) EXPECT_EQ(s.gain[p], p == c.changed_preset ? 5 : 0) << "preset " << p;
  }
  // A record whose active preset names none: value keys need --preset, and nothing changes.
  TSettings invalid{};
  invalid.preset = 4;
  TSettings copy = invalid;
  EXPECT_FALSE(apply_pairs(copy, {{Key::gain, 5}}, std::nullopt));
  EXPECT_EQ(std::memcmp(&copy, &invalid, sizeof copy), 0);
  EXPECT_TRUE(apply_pairs(copy, {{Key::active, 0}}, std::nullopt));
}

TEST(ShownValues, PanelTextsAndUnits) {
  struct Case {
    Key key;
    int stored;
    const char* shown;
  } cases[] = {
      {Key::active, 0, "1"},    {Key::lr, 0, "off"},        {Key::lr, 3, "LR"},          {Key::lr, 9, "9"},
      {Key::src, 2, "Ch_5-6"},  {Key::src, 12, "12"},       {Key::gain, -3, "-3 dB"},    {Key::ref, 0, "0 dBFS"},
      {Key::ref, 18, "-18 dBFS"}, {Key::delay, 34, "340 ms"}, {Key::gpi, 5, "50 ms"},  {Key::scale, 2, "dB-18..+10"},
  };
  for (const auto& c : cases) EXPECT_EQ(shown_text(c.key, c.stored), c.shown);
}

}  // namespace
