// The main window's title and its Unit menu: which unit this window drives,
// and every unit the last scan saw, to choose another. Texts are UTF-8.
#pragma once

#include "USB.h"

#include <string>
#include <vector>

// "MX-540KTR — SERIAL" for a unit in normal mode, "MX-540KTR — SERIAL (boot)"
// in its boot loader, "MX-540KTR — no unit" for an empty identity. The dash
// is U+2014.
std::string window_title(const TDeviceIdentity& unit);

struct TUnitMenuItem {
  std::string text;
  std::string serial;    // the unit the item chooses; empty: it chooses nothing
  bool checked = false;  // the unit this window drives
  bool greyed = false;   // cannot be chosen: another program holds it, or it has no serial
};

// One item per unit in `units`, in their order: the serial, "(boot)" in boot
// mode, and the program that holds it. `driven` is the serial of the unit this
// window drives (empty: none). With no unit at all, one greyed item says so.
std::vector<TUnitMenuItem> unit_menu_items(const std::vector<TUnitSeen>& units, const std::string& driven);
