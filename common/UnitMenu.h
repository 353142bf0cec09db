// The main window's title and its Unit menu: which unit this window drives,
// and every unit the last scan saw, to choose another. Texts are UTF-8.
#pragma once

#include "USB.h"

#include <string>
#include <vector>

// Whether the identity names a unit at all (an empty one: none). A unit
// without a serial number is still one: it has its device path.
bool names_a_unit(const TDeviceIdentity& unit);

// The short form of a device path that tells a unit without a serial apart:
// for a Windows HID path ("\\?\hid#vid_..&pid_..#INSTANCE#{class}") its
// instance part, which stays as long as the unit stays in its USB port;
// any other path as it is.
std::string short_path(const std::string& path);

// How the window names a unit: its serial number, or "(no serial) " and the
// short form of its path for a unit that reports none.
std::string unit_name(const TDeviceIdentity& unit);

// "MX-540KTR — NAME" for a unit in normal mode, "MX-540KTR — NAME (boot)"
// in its boot loader, "MX-540KTR — no unit" for an empty identity; NAME is
// unit_name. The dash is U+2014.
std::string window_title(const TDeviceIdentity& unit);

struct TUnitMenuItem {
  std::string text;
  // What the item chooses, as link_choose_unit takes it: the serial, and the
  // path for a unit its serial does not tell apart (none, or one that another
  // unit seen shares). Both empty: the item chooses nothing.
  std::string serial;
  std::string path;
  bool checked = false;  // the unit this window drives
  bool greyed = false;   // cannot be chosen: another program holds it, or there is no unit
};

// One item per unit in `units`, in their order: its name (unit_name; with the
// short path too when another unit seen has the same serial), "(boot)" in boot
// mode, and the program that holds it. `driven` is the unit this window drives
// (an empty identity: none). With no unit at all, one greyed item says so.
std::vector<TUnitMenuItem> unit_menu_items(const std::vector<TUnitSeen>& units, const TDeviceIdentity& driven);
