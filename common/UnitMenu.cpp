#include "UnitMenu.h"

namespace {
constexpr char dash[] = " \xE2\x80\x94 ";  // U+2014 between blanks
}  // namespace

std::string window_title(const TDeviceIdentity& unit) {
  std::string title = std::string("MX-540KTR") + dash;
  if (unit.serial.empty()) return title + "no unit";
  title += unit.serial;
  if (unit.boot) title += " (boot)";
  return title;
}

std::vector<TUnitMenuItem> unit_menu_items(const std::vector<TUnitSeen>& units, const std::string& driven) {
  std::vector<TUnitMenuItem> items;
  for (const TUnitSeen& unit : units) {
    TUnitMenuItem item;
    item.serial = unit.identity.serial;
    item.text = item.serial.empty() ? "(no serial number)" : item.serial;
    if (unit.identity.boot) item.text += " (boot)";
    item.checked = !driven.empty() && item.serial == driven;
    if (!item.checked && !unit.held_by.empty()) {
      item.text += std::string(dash) + "held by " + unit.held_by;
      item.greyed = true;
    }
    // Units are chosen by serial number: one without it can only be taken as
    // the first free unit.
    if (item.serial.empty()) item.greyed = true;
    items.push_back(std::move(item));
  }
  if (items.empty()) items.push_back({"No unit connected", "", false, true});
  return items;
}
