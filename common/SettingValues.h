// The settings as mx540ctl reads and writes them: the keys of `set`, their
// values in the panel's units and item texts, and the conversions into the
// 29-byte record (the panel's own, from PresetLogic).
//
// Two ranges apply. `set` takes what the panel's controls offer (four presets,
// the eight source pairs of its list, delays up to 170 ms). A settings file
// carries whatever a unit's record can hold after the link's sanitising
// (sources up to the sixteenth pair, delays up to 340 ms, any left/right byte),
// so that a file written from a unit loads back into the same 29 bytes.
#pragma once

#include "USB.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mx::ctl {

enum class Key { active, lr, src, gain, ref, delay, gpi, scale };
inline constexpr std::array<Key, 8> all_keys{Key::active, Key::lr,  Key::src,   Key::gain,
                                             Key::ref,    Key::delay, Key::gpi, Key::scale};
// The seven per-preset keys, in the order `show` and the settings file list them.
inline constexpr std::array<Key, 7> preset_keys{Key::lr, Key::src, Key::gain, Key::ref, Key::delay, Key::gpi, Key::scale};

enum class Scope {
  panel,   // what `set` accepts: the panel's lists and spin ranges
  record,  // what a settings file accepts: every value a unit's record can hold
};

std::string_view key_name(Key key);
std::optional<Key> key_from_name(std::string_view name);   // case-insensitive

// A value as the record stores it: the preset index for `active`, the lr byte,
// the list index for src/ref/scale, dB for gain, 10 ms steps for the delays.
struct Value {
  Key key;
  int stored;
};

// Parses one value. Lists take their item text (case-insensitive, blanks
// ignored; the unit of ref may be left out, so "-18" is "-18 dBFS") or the
// item's index as the panel counts it (0 is the first item). Numbers take an
// optional unit suffix (dB, ms); delays are rounded to 10 ms steps as the
// panel rounds typed text. Gives the reason on failure: "allowed ...".
struct ValueError {
  std::string allowed;
};
struct ParsedValue {
  std::optional<Value> value;
  ValueError error;
};
ParsedValue parse_value(Key key, std::string_view text, Scope scope);

// "KEY=VALUE" of `set`; the error names the key, the value and what is allowed.
struct Pair {
  Key key;
  int stored;
};
struct PairError {
  std::string text;
};
std::optional<Pair> parse_pair(std::string_view text, PairError& error);

// Applies pairs to a record: `active` first, then the value keys to `preset`
// (0-3), or to the active preset (after `active`, when given) when none is
// named. False when the value keys would name no preset (an invalid active
// preset in the record and no --preset).
bool apply_pairs(TSettings& record, const std::vector<Pair>& pairs, std::optional<int> preset);

// The stored value of `key` for preset p (0-3) of a record, and back.
int stored_value(const TSettings& s, Key key, int p);
void set_stored(TSettings& s, Key key, int p, int stored);

// A stored value as the panel shows it: item text for the lists ("LR", "Ch_1-2",
// "-18 dBFS", "dB"), the number in its unit otherwise (gain dB, delay ms).
// List values outside the panel's items have no text (nullopt): the file keeps
// them as numbers.
std::optional<std::string> item_text(Key key, int stored);
// A number in the key's unit: dB for gain, ms for the delays, the preset
// number 1.. for active; the stored value for the other keys.
int unit_number(Key key, int stored);
// What `show` prints: the item text or the number with its unit.
std::string shown_text(Key key, int stored);

}  // namespace mx::ctl
