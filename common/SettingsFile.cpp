#include "SettingsFile.h"

#include "SettingValues.h"

#include <nlohmann/json.hpp>

namespace mx::ctl {

using Json = nlohmann::ordered_json;

namespace {

Json value_json(Key key, int stored) {
  if (auto text = item_text(key, stored)) return *text;
  return unit_number(key, stored);
}

struct Reject {
  SettingsFileError error;
};

[[noreturn]] void reject(const std::string& field, const std::string& text) {
  throw Reject{{field, text}};
}

const Json& member(const Json& object, const std::string& name, const std::string& field) {
  const auto it = object.find(name);
  if (it == object.end()) reject(field, "The field " + field + " is missing.");
  return *it;
}

void only_members(const Json& object, std::initializer_list<std::string> names, const std::string& prefix) {
  for (auto it = object.begin(); it != object.end(); ++it)
    if (std::find(names.begin(), names.end(), it.key()) == names.end())
      reject(prefix + it.key(), "The field " + prefix + it.key() + " is not part of a settings file.");
}

std::string text_member(const Json& object, const std::string& name) {
  const Json& v = member(object, name, name);
  if (!v.is_string()) reject(name, "The field " + name + " must be a text.");
  return v.get<std::string>();
}

// A value given as a text or a whole number, read in the record's scope.
int stored_member(const Json& object, Key key, const std::string& field) {
  const Json& v = member(object, std::string(key_name(key)), field);
  std::string text;
  if (v.is_string())
    text = v.get<std::string>();
  else if (v.is_number_integer())
    text = v.dump();
  else
    reject(field, "The field " + field + " must be a text or a whole number.");
  const ParsedValue parsed = parse_value(key, text, Scope::record);
  if (!parsed.value)
    reject(field, "The field " + field + " holds " + v.dump() + "; allowed: " + parsed.error.allowed + ".");
  return parsed.value->stored;
}

}  // namespace

std::string model_name(const std::string& product) {
  std::string name = product;
  if (const auto at = name.find("(boot)"); at != std::string::npos) name.erase(at, 6);
  while (!name.empty() && name.back() == ' ') name.pop_back();
  while (!name.empty() && name.front() == ' ') name.erase(0, 1);
  return name;
}

std::string write_settings_file(const TSettings& record, const SettingsFileSource& source) {
  Json file;
  file["format"] = settings_format;
  file["model"] = source.model;
  file["serial"] = source.serial;
  file["firmware"] = source.firmware;
  file["active"] = unit_number(Key::active, record.preset);
  Json presets = Json::object();
  for (int p = 0; p < 4; ++p) {
    Json preset = Json::object();
    for (Key key : preset_keys) preset[std::string(key_name(key))] = value_json(key, stored_value(record, key, p));
    presets[std::to_string(p + 1)] = preset;
  }
  file["presets"] = presets;
  return file.dump(2) + "\n";
}

std::optional<SettingsFileContent> read_settings_file(const std::string& text, SettingsFileError& error) {
  try {
    Json file;
    try {
      file = Json::parse(text);
    } catch (const Json::parse_error& e) {
      reject("", "The file is not valid JSON (at byte " + std::to_string(e.byte) + ").");
    }
    if (!file.is_object()) reject("", "The file does not hold a JSON object.");
    only_members(file, {"format", "model", "serial", "firmware", "active", "presets"}, "");
    if (text_member(file, "format") != settings_format)
      reject("format", std::string("The field format must be \"") + settings_format + "\".");

    SettingsFileContent out;
    out.source.model = text_member(file, "model");
    out.source.serial = text_member(file, "serial");
    out.source.firmware = text_member(file, "firmware");
    set_stored(out.record, Key::active, 0, stored_member(file, Key::active, "active"));

    const Json& presets = member(file, "presets", "presets");
    if (!presets.is_object()) reject("presets", "The field presets must be an object with members 1 to 4.");
    only_members(presets, {"1", "2", "3", "4"}, "presets.");
    for (int p = 0; p < 4; ++p) {
      const std::string prefix = "presets." + std::to_string(p + 1);
      const Json& preset = member(presets, std::to_string(p + 1), prefix);
      if (!preset.is_object()) reject(prefix, "The field " + prefix + " must be an object.");
      only_members(preset, {"lr", "src", "gain", "ref", "delay", "gpi", "scale"}, prefix + ".");
      for (Key key : preset_keys)
        set_stored(out.record, key, p, stored_member(preset, key, prefix + "." + std::string(key_name(key))));
    }
    return out;
  } catch (const Reject& r) {
    error = r.error;
  } catch (const Json::exception& e) {
    error = {"", std::string("The file could not be read: ") + e.what()};
  }
  return std::nullopt;
}

std::optional<SettingsFileContent> read_settings_file_for(const std::string& text, const std::string& product,
                                                          SettingsFileError& error) {
  auto content = read_settings_file(text, error);
  if (!content) return std::nullopt;
  const std::string model = model_name(product);
  if (content->source.model != model) {
    error = {"model", "The file is for the model \"" + content->source.model + "\", not for " + model + " (field model)."};
    return std::nullopt;
  }
  return content;
}

}  // namespace mx::ctl
