// The settings file: exact round trip of every record a unit can hold, and
// files that are refused with the field named.
#include "SettingsFile.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstring>
#include <random>

namespace {

using namespace mx::ctl;
using Json = nlohmann::ordered_json;

const SettingsFileSource source{"MX-540KTR", "VX540K-000001", "1.16"};

TSettings factory() {
  TSettings s{};
  for (int p = 0; p < 4; ++p) {
    s.lr[p] = 3;
    s.src[p] = static_cast<uint8_t>(p);
    s.ref[p] = 18;
  }
  return s;
}

TEST(SettingsFile, EveryRecordAUnitCanHoldComesBackAsTheSame29Bytes) {
  std::mt19937 gen(540);
  std::vector<TSettings> records{factory()};
  TSettings extremes{};
  extremes.preset = 5;   // names no preset, but a unit can hold it
  for (int p = 0; p < 4; ++p) {
    extremes.lr[p] = static_cast<uint8_t>(255 - p);
    extremes.src[p] = 15;
    extremes.gain[p] = -15;
    extremes.ref[p] = 31;
    extremes.scale[p] = 2;
    extremes.delay[p] = 34;
    extremes.delay_gpi[p] = 17;
  }
  records.push_back(extremes);
  for (int i = 0; i < 500; ++i) {
    TSettings s;
    auto* bytes = reinterpret_cast<uint8_t*>(&s);
    for (size_t b = 0; b < sizeof s; ++b) bytes[b] = static_cast<uint8_t>(gen());
    sanitize_settings(s);
    records.push_back(s);
  }
  for (const TSettings& record : records) {
    const std::string text = write_settings_file(record, source);
    SettingsFileError error;
    const auto back = read_settings_file(text, error);
    ASSERT_TRUE(back) << error.text << "\n" << text;
    ASSERT_EQ(std::memcmp(&back->record, &record, sizeof record), 0) << text;
    EXPECT_EQ(back->source.model, source.model);
    EXPECT_EQ(back->source.serial, source.serial);
    EXPECT_EQ(back->source.firmware, source.firmware);
  }
}

TEST(SettingsFile, ValuesAreWrittenByNameInThePanelsUnits) {
  TSettings s = factory();
  s.preset = 2;
  s.gain[0] = -7;
  s.delay[0] = 12;
  s.delay_gpi[0] = 3;
  s.scale[0] = 1;
  const Json file = Json::parse(write_settings_file(s, source));
  EXPECT_EQ(file["active"], 3);
  EXPECT_EQ(file["model"], "MX-540KTR");
  const Json& p1 = file["presets"]["1"];
  EXPECT_EQ(p1, Json::parse(R"({"lr":"LR","src":"Ch_1-2","gain":-7,"ref":"-18 dBFS","delay":120,"gpi":30,
                                "scale":"dBFS"})"));
}

TEST(SettingsFile, RefusedFilesNameTheField) {
  const std::string good = write_settings_file(factory(), source);
  struct Case {
    const char* what;
    std::function<void(Json&)> change;
    const char* field;
  } cases[] = {
      {"missing model", [](Json& f) { f.erase("model"); }, "model"},
      {"other format", [](Json& f) { f["format"] = "something"; }, "format"},
      {"active out of range", [](Json& f) { f["active"] = 7; }, "active"},
      {"active as a fraction", [](Json& f) { f["active"] = 1.5; }, "active"},
      {"missing preset", [](Json& f) { f["presets"].erase("3"); }, "presets.3"},
      {"extra preset", [](Json& f) { f["presets"]["5"] = f["presets"]["1"]; }, "presets.5"},
      {"missing gain", [](Json& f) { f["presets"]["2"].erase("gain"); }, "presets.2.gain"},
      {"gain out of range", [](Json& f) { f["presets"]["2"]["gain"] = 16; }, "presets.2.gain"},
      {"delay past 340 ms", [](Json& f) { f["presets"]["4"]["delay"] = 350; }, "presets.4.delay"},
      {"gpi past 170 ms", [](Json& f) { f["presets"]["4"]["gpi"] = 180; }, "presets.4.gpi"},
      {"unknown source", [](Json& f) { f["presets"]["1"]["src"] = "Ch_3-5"; }, "presets.1.src"},
      {"unknown scale", [](Json& f) { f["presets"]["1"]["scale"] = "dBu"; }, "presets.1.scale"},
      {"lr as a list", [](Json& f) { f["presets"]["1"]["lr"] = Json::array(); }, "presets.1.lr"},
      {"misspelt field", [](Json& f) { f["presets"]["1"]["gian"] = 1; }, "presets.1.gian"},
      {"presets as a list", [](Json& f) { f["presets"] = Json::array(); }, "presets"},
  };
  for (const auto& c : cases) {
    Json file = Json::parse(good);
    c.change(file);
    SettingsFileError error;
    EXPECT_FALSE(read_settings_file(file.dump(), error)) << c.what;
    EXPECT_EQ(error.field, c.field) << c.what;
    EXPECT_NE(error.text.find(c.field), std::string::npos) << c.what << ": " << error.text;
  }
  for (const std::string& text : {std::string(""), std::string("{"), std::string("[1,2]"), good.substr(0, good.size() / 2)}) {
    SettingsFileError error;
    EXPECT_FALSE(read_settings_file(text, error)) << text;
    EXPECT_FALSE(error.text.empty());
  }
}

TEST(SettingsFile, ModelNameLeavesOutTheBootMark) {
  EXPECT_EQ(model_name("MX-540KTR"), "MX-540KTR");
  EXPECT_EQ(model_name("MX-540KTR (boot)"), "MX-540KTR");
  EXPECT_EQ(model_name("MX-540KTR "), "MX-540KTR");
}

TEST(SettingsFile, AFileForTheUnitIsCheckedWholeThenAgainstItsModel) {
  const std::string good = write_settings_file(factory(), source);
  Json other_model = Json::parse(good);
  other_model["model"] = "MX-999";
  Json bad_and_other = other_model;
  bad_and_other["presets"]["2"]["gain"] = 16;
  struct Case {
    const char* what;
    std::string text, product;
    const char* field;  // nullptr: taken
  } cases[] = {
      {"same model", good, "MX-540KTR", nullptr},
      {"same model, unit in boot mode", good, "MX-540KTR (boot)", nullptr},
      {"another model", other_model.dump(), "MX-540KTR", "model"},
      {"a bad field is named before the model", bad_and_other.dump(), "MX-540KTR", "presets.2.gain"},
  };
  for (const auto& c : cases) {
    SettingsFileError error;
    const auto content = read_settings_file_for(c.text, c.product, error);
    if (!c.field) {
      ASSERT_TRUE(content) << c.what << ": " << error.text;
      const TSettings expected = factory();
      EXPECT_EQ(std::memcmp(&content->record, &expected, sizeof expected), 0) << c.what;
      continue;
    }
    EXPECT_FALSE(content) << c.what;
    EXPECT_EQ(error.field, c.field) << c.what;
    EXPECT_NE(error.text.find(c.field), std::string::npos) << c.what << ": " << error.text;
  }
}

}  // namespace
