// Fuzz target: the settings file reader. Properties: any input is either
// refused with a reason or read into a record; a record read is written and
// read again into the same 29 bytes and the same text; an input of exactly 29
// bytes is also taken as a record (sanitised as the link does) whose file
// reads back into the same bytes.
#include "SettingsFile.h"
#include "fuzz_target.h"

#include <cstring>
#include <string>

namespace {

const mx::ctl::SettingsFileSource source{"MX-540KTR", "VX540K-000001", "1.16"};

void check_round_trip(const TSettings& record) {
  const std::string text = mx::ctl::write_settings_file(record, source);
  mx::ctl::SettingsFileError error;
  const auto back = mx::ctl::read_settings_file(text, error);
  FUZZ_CHECK(back.has_value());
  FUZZ_CHECK(std::memcmp(&back->record, &record, sizeof record) == 0);
  FUZZ_CHECK(mx::ctl::write_settings_file(back->record, back->source) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == sizeof(TSettings)) {
    TSettings record;
    std::memcpy(&record, data, sizeof record);
    sanitize_settings(record);
    check_round_trip(record);
  }
  const std::string text(reinterpret_cast<const char*>(data), size);
  mx::ctl::SettingsFileError error;
  const auto content = mx::ctl::read_settings_file(text, error);
  if (!content) {
    FUZZ_CHECK(!error.text.empty());
    return 0;
  }
  check_round_trip(content->record);
  return 0;
}

std::vector<FuzzSeed> fuzz_seeds() {
  TSettings factory{};
  for (int p = 0; p < 4; ++p) {
    factory.lr[p] = 3;
    factory.src[p] = static_cast<uint8_t>(p);
    factory.ref[p] = 18;
  }
  TSettings odd = factory;
  odd.preset = 5;
  odd.lr[1] = 200;
  odd.src[2] = 12;
  odd.delay[3] = 34;
  odd.gain[0] = -15;
  auto as_seed = [](const std::string& name, const std::string& text) {
    return FuzzSeed{name, std::vector<uint8_t>(text.begin(), text.end())};
  };
  const auto* raw = reinterpret_cast<const uint8_t*>(&odd);
  return {as_seed("factory", mx::ctl::write_settings_file(factory, source)),
          as_seed("values-beyond-the-panels-lists", mx::ctl::write_settings_file(odd, source)),
          FuzzSeed{"raw-record", std::vector<uint8_t>(raw, raw + sizeof odd)}};
}
