#include "SettingValues.h"

#include "PresetLogic.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace mx::ctl {

namespace {

constexpr std::array<std::string_view, 8> key_names{"active", "lr", "src", "gain", "ref", "delay", "gpi", "scale"};
constexpr std::array<std::string_view, 4> lr_items{"off", "L", "R", "LR"};

// Lower case without blanks: how item texts and typed values are compared.
std::string folded(std::string_view text) {
  std::string out;
  for (char c : text)
    if (c != ' ' && c != '\t') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A whole decimal number, optionally followed by `unit` (any case, blanks
// before it allowed). Nothing else may follow.
std::optional<int> parse_number(std::string_view text, std::string_view unit) {
  std::string t = folded(text);
  const std::string u = folded(unit);
  if (!u.empty() && t.size() > u.size() && t.compare(t.size() - u.size(), u.size(), u) == 0)
    t.resize(t.size() - u.size());
  if (!t.empty() && t.front() == '+') t.erase(0, 1);
  if (t.empty() || t.size() > 9) return std::nullopt;
  int value = 0;
  const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return value;
}

template <class Items>
std::optional<int> item_index(const Items& items, std::string_view text) {
  const std::string wanted = folded(text);
  for (size_t i = 0; i < items.size(); ++i)
    if (folded(items[i]) == wanted) return static_cast<int>(i);
  return std::nullopt;
}

struct Range {
  int min, max;
};

// Range of the stored value in each scope.
Range stored_range(Key key, Scope scope) {
  const bool panel = scope == Scope::panel;
  switch (key) {
    case Key::active: return {0, panel ? 3 : 5};
    case Key::lr: return {0, panel ? 3 : 255};
    case Key::src: return {0, panel ? 7 : 15};
    case Key::gain: return {gain_range.min, gain_range.max};
    case Key::ref: return {0, 31};
    case Key::delay: return {0, panel ? delay_range.max / 10 : 34};
    case Key::gpi: return {0, 17};
    case Key::scale: return {0, 2};
  }
  return {0, 0};
}

std::string trimmed(std::string text) {
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string allowed_text(Key key, Scope scope) {
  const Range r = stored_range(key, scope);
  const std::string index = ", or the item's index " + std::to_string(r.min) + " to " + std::to_string(r.max);
  switch (key) {
    case Key::active: return "1 to " + std::to_string(r.max + 1);
    case Key::lr: return "off, L, R or LR" + (r.max > 3 ? ", or a number 0 to " + std::to_string(r.max) : index);
    case Key::src: return src_items().front() + " to " + src_items()[7] + index;
    case Key::gain: return std::to_string(r.min) + " to " + std::to_string(r.max) + " dB";
    case Key::ref: return trimmed(ref_items().front()) + " to " + ref_items().back() + index;
    case Key::delay:
    case Key::gpi: return "0 to " + std::to_string(r.max * 10) + " ms";
    case Key::scale: {
      const auto items = scale_items();
      return items[0] + ", " + items[1] + " or " + items[2] + index;
    }
  }
  return {};
}

// The stored value a text names, before the range check.
std::optional<int> read_stored(Key key, std::string_view text) {
  switch (key) {
    case Key::active: {
      const auto n = parse_number(text, "");
      return n ? std::optional<int>(*n - 1) : std::nullopt;
    }
    case Key::lr:
      if (auto i = item_index(lr_items, text)) return i;
      return parse_number(text, "");
    case Key::src:
      if (auto i = item_index(src_items(), text)) return i;
      return parse_number(text, "");
    case Key::ref: {
      if (auto i = item_index(ref_items(), text)) return i;
      // A bare level is the item of that level: "-18" is "-18 dBFS".
      const std::string t = folded(text);
      if (!t.empty() && t.front() == '-')
        if (auto i = item_index(ref_items(), t + "dBFS")) return i;
      return parse_number(text, "");
    }
    case Key::scale:
      if (auto i = item_index(scale_items(), text)) return i;
      return parse_number(text, "");
    case Key::gain: return parse_number(text, "dB");
    case Key::delay:
    case Key::gpi: {
      const auto ms = parse_number(text, "ms");
      if (!ms || *ms < 0) return ms ? std::optional<int>(-1) : std::nullopt;
      // Beyond the largest step: kept out of range rather than rounded into it.
      if (*ms > 340 + 5) return 1000;
      return round_half_even(*ms / 10.0);
    }
  }
  return std::nullopt;
}

}  // namespace

std::string_view key_name(Key key) { return key_names[static_cast<size_t>(key)]; }

std::optional<Key> key_from_name(std::string_view name) {
  const std::string wanted = folded(name);
  for (Key key : all_keys)
    if (key_name(key) == wanted) return key;
  return std::nullopt;
}

ParsedValue parse_value(Key key, std::string_view text, Scope scope) {
  ParsedValue out;
  const Range r = stored_range(key, scope);
  const auto stored = read_stored(key, text);
  // A delay rounds into steps; one that rounds into range but lies past the
  // range's last millisecond value is still refused (175 ms is not 170 ms).
  bool in_range = stored && *stored >= r.min && *stored <= r.max;
  if (in_range && (key == Key::delay || key == Key::gpi)) {
    const auto ms = parse_number(text, "ms");
    in_range = ms && *ms <= r.max * 10;
  }
  if (in_range)
    out.value = Value{key, *stored};
  else
    out.error.allowed = allowed_text(key, scope);
  return out;
}

std::optional<Pair> parse_pair(std::string_view text, PairError& error) {
  const size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    error.text = std::string(text) + ": expected KEY=VALUE";
    return std::nullopt;
  }
  const std::string_view name = text.substr(0, eq), value = text.substr(eq + 1);
  const auto key = key_from_name(name);
  if (!key) {
    error.text = std::string(text) + ": unknown key " + std::string(name) +
                 "; the keys are active, lr, src, gain, ref, delay, gpi and scale";
    return std::nullopt;
  }
  const ParsedValue parsed = parse_value(*key, value, Scope::panel);
  if (!parsed.value) {
    error.text = std::string(key_name(*key)) + "=" + std::string(value) + " is not allowed: " +
                 std::string(key_name(*key)) + " takes " + parsed.error.allowed;
    return std::nullopt;
  }
  return Pair{*key, parsed.value->stored};
}

bool apply_pairs(TSettings& record, const std::vector<Pair>& pairs, std::optional<int> preset) {
  TSettings out = record;
  for (const Pair& pair : pairs)
    if (pair.key == Key::active) out.preset = static_cast<uint8_t>(pair.stored);
  const bool any_value = std::any_of(pairs.begin(), pairs.end(), [](const Pair& p) { return p.key != Key::active; });
  const int p = preset.value_or(out.preset);
  if (any_value && (p < 0 || p > 3)) return false;
  for (const Pair& pair : pairs)
    if (pair.key != Key::active) set_stored(out, pair.key, p, pair.stored);
  record = out;
  return true;
}

int stored_value(const TSettings& s, Key key, int p) {
  switch (key) {
    case Key::active: return s.preset;
    case Key::lr: return s.lr[p];
    case Key::src: return s.src[p];
    case Key::gain: return s.gain[p];
    case Key::ref: return s.ref[p];
    case Key::delay: return s.delay[p];
    case Key::gpi: return s.delay_gpi[p];
    case Key::scale: return s.scale[p];
  }
  return 0;
}

void set_stored(TSettings& s, Key key, int p, int stored) {
  const auto byte = static_cast<uint8_t>(stored);
  switch (key) {
    case Key::active: s.preset = byte; break;
    case Key::lr: s.lr[p] = byte; break;
    case Key::src: s.src[p] = byte; break;
    case Key::gain: s.gain[p] = static_cast<int8_t>(stored); break;
    case Key::ref: s.ref[p] = byte; break;
    case Key::delay: s.delay[p] = byte; break;
    case Key::gpi: s.delay_gpi[p] = byte; break;
    case Key::scale: s.scale[p] = byte; break;
  }
}

std::optional<std::string> item_text(Key key, int stored) {
  auto from = [stored](const auto& items) -> std::optional<std::string> {
    if (stored < 0 || static_cast<size_t>(stored) >= items.size()) return std::nullopt;
    return trimmed(std::string(items[static_cast<size_t>(stored)]));
  };
  switch (key) {
    case Key::lr: return from(lr_items);
    case Key::src: return from(src_items());
    case Key::ref: return from(ref_items());
    case Key::scale: return from(scale_items());
    default: return std::nullopt;
  }
}

int unit_number(Key key, int stored) {
  switch (key) {
    case Key::active: return stored + 1;
    case Key::delay:
    case Key::gpi: return stored * 10;
    default: return stored;
  }
}

std::string shown_text(Key key, int stored) {
  if (auto text = item_text(key, stored)) return *text;
  const std::string n = std::to_string(unit_number(key, stored));
  switch (key) {
    case Key::gain: return n + " dB";
    case Key::delay:
    case Key::gpi: return n + " ms";
    default: return n;
  }
}

}  // namespace mx::ctl
