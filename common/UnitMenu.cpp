#include "UnitMenu.h"

#include "unit_key.h"

#include <algorithm>

using mx::link::has_serial;
using mx::link::path_text;
using mx::link::unit_key;

namespace {

constexpr char dash[] = " \xE2\x80\x94 ";  // U+2014 between blanks

std::string key_of(const TDeviceIdentity& unit) { return unit_key(unit.serial, unit.path); }

// A serial says which unit it is only when no other unit seen has it too.
bool told_by_serial(const std::vector<TUnitSeen>& units, const TDeviceIdentity& unit) {
  return has_serial(unit.serial) &&
         std::count_if(units.begin(), units.end(),
                       [&](const TUnitSeen& u) { return u.identity.serial == unit.serial; }) == 1;
}

}  // namespace

bool names_a_unit(const TDeviceIdentity& unit) { return has_serial(unit.serial) || !path_text(unit.path).empty(); }

std::string short_path(const std::string& path) {
  const std::string whole = path_text(path);
  // \\?\hid#vid_1234&pid_5678[&mi_00]#7&2f1c9a3b&0&0000#{4d1e55b2-...}
  const size_t first = whole.find('#');
  const size_t second = first == std::string::npos ? first : whole.find('#', first + 1);
  const size_t third = second == std::string::npos ? second : whole.find('#', second + 1);
  if (third == std::string::npos || third == second + 1) return whole;
  return whole.substr(second + 1, third - second - 1);
}

std::string unit_name(const TDeviceIdentity& unit) {
  return has_serial(unit.serial) ? unit.serial : "(no serial) " + short_path(unit.path);
}

std::string window_title(const TDeviceIdentity& unit) {
  std::string title = std::string("MX-540KTR") + dash;
  if (!names_a_unit(unit)) return title + "no unit";
  title += unit_name(unit);
  if (unit.boot) title += " (boot)";
  return title;
}

std::vector<TUnitMenuItem> unit_menu_items(const std::vector<TUnitSeen>& units, const TDeviceIdentity& driven) {
  std::vector<TUnitMenuItem> items;
  for (const TUnitSeen& unit : units) {
    const TDeviceIdentity& id = unit.identity;
    const bool by_serial = told_by_serial(units, id);
    TUnitMenuItem item;
    item.serial = has_serial(id.serial) ? id.serial : std::string();
    item.path = by_serial ? std::string() : path_text(id.path);
    item.text = unit_name(id);
    if (has_serial(id.serial) && !by_serial) item.text += " (" + short_path(id.path) + ")";
    if (id.boot) item.text += " (boot)";
    item.checked = names_a_unit(driven) && key_of(driven) == key_of(id) &&
                   (by_serial || path_text(driven.path) == path_text(id.path));
    if (!item.checked && !unit.held_by.empty()) {
      item.text += std::string(dash) + "held by " + unit.held_by;
      item.greyed = true;
    }
    if (item.serial.empty() && item.path.empty()) item.greyed = true;  // nothing to choose it by
    items.push_back(std::move(item));
  }
  if (items.empty()) items.push_back({"No unit connected", "", "", false, true});
  return items;
}
