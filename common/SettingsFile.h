// The settings backup: a readable JSON file with the model, serial and firmware
// of the unit it came from, the active preset and each preset's values by name
// in the panel's units.
//
//   {
//     "format": "mx540ctl-settings",
//     "model": "MX-540KTR",
//     "serial": "VX540K-000001",
//     "firmware": "1.16",
//     "active": 1,
//     "presets": {
//       "1": {"lr": "LR", "src": "Ch_1-2", "gain": 0, "ref": "-18 dBFS",
//             "delay": 0, "gpi": 0, "scale": "dB"},
//       "2": ...
//     }
//   }
//
// gain is in dB, delay and gpi in ms. A value that a unit's record holds but
// the panel's lists do not name (a left/right byte above 3, a source beyond
// Ch_15-16) is written as a number. Whatever write_settings_file writes,
// read_settings_file gives back as the same 29 bytes.
#pragma once

#include "USB.h"

#include <optional>
#include <string>

namespace mx::ctl {

inline constexpr char settings_format[] = "mx540ctl-settings";

struct SettingsFileSource {
  std::string model;     // the product name, without "(boot)"
  std::string serial;
  std::string firmware;
};

std::string write_settings_file(const TSettings& record, const SettingsFileSource& source);

struct SettingsFileContent {
  SettingsFileSource source;
  TSettings record{};
};
struct SettingsFileError {
  std::string field;   // "presets.2.gain"; empty when the file is no JSON object at all
  std::string text;    // a sentence naming the field and what is wrong or allowed
};
// Reads and checks the whole file. Every field must be present and in range,
// and nothing else may be there. The model is read, not compared here.
std::optional<SettingsFileContent> read_settings_file(const std::string& text, SettingsFileError& error);

// read_settings_file, then the file's model compared with the unit's product
// (model_name): a file for another model is refused in the field model.
std::optional<SettingsFileContent> read_settings_file_for(const std::string& text, const std::string& product,
                                                          SettingsFileError& error);

// The product name a file's model is compared with: the unit's product without
// "(boot)" and without blanks at either end.
std::string model_name(const std::string& product);

}  // namespace mx::ctl
