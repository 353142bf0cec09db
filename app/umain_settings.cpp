// The main window's Settings menu: the unit's settings saved to a file and
// loaded from one through the common file dialogs, in the settings file that
// mx540ctl's save and load read and write.
#include "umain.h"

#include <commdlg.h>

#include <string>

#include "SettingsFile.h"
#include "USB.h"
#include "UnitMenu.h"
#include "unit_key.h"
#include "win32/handles.h"
#include "win32/text.h"
#include "winui.h"

namespace {

using win32::utf8_to_wide;
using win32::wide_to_utf8;

// Far more than any settings file; a larger file is refused unread.
constexpr LONGLONG max_settings_file = 1 << 20;

// The file the operator names in the save or open dialog; empty when cancelled.
std::wstring ask_settings_file(HWND owner, bool save, const std::wstring& suggested) {
  return ask_file_name(owner, L"Settings file (*.json)\0*.json\0", save,
                       OFN_PATHMUSTEXIST | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST), suggested, L"json");
}

bool read_whole_file(const std::wstring& path, std::string& bytes) {
  const win32::THandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > max_settings_file) return false;
  bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  return bytes.empty() ||
         (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size());
}

// Written beside the target and renamed over it: an existing file is
// replaced whole or not at all.
bool write_whole_file(const std::wstring& path, const std::string& bytes) {
  const size_t slash = path.find_last_of(L"\\/");
  const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
  wchar_t temporary[MAX_PATH];
  if (!GetTempFileNameW(folder.c_str(), L"mx5", 0, temporary)) return false;
  bool written = false;
  {
    const win32::THandle file(
        CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    written = file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) &&
              done == bytes.size() && FlushFileBuffers(file.get());
  }
  if (written && MoveFileExW(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
  DeleteFileW(temporary);
  return false;
}

}  // namespace

bool Tfmain::settings_ready(std::string& why) const {
  const TDeviceIdentity unit = device_identity();
  if (!dev_open || !names_a_unit(unit))
    why = "No unit is connected.";
  else if (boot_mode)
    why = "The unit " + unit_name(unit) + " is in boot mode.";
  else if (settings_unit() != mx::link::unit_key(unit.serial, unit.path))
    why = "The settings of the unit " + unit_name(unit) + " have not been read yet.";
  else
    return true;
  return false;
}

void Tfmain::SaveSettingsClick() {
  std::string why;
  if (!settings_ready(why)) return;   // the menu is disabled then
  const TDeviceIdentity asked_for = device_identity();
  const std::string key = mx::link::unit_key(asked_for.serial, asked_for.path);
  // A unit without a serial suggests no name: its path makes none.
  const std::wstring suggested =
      mx::link::has_serial(asked_for.serial) ? utf8_to_wide(asked_for.serial) + L".json" : std::wstring();
  const std::wstring path = ask_settings_file(handle, true, suggested);
  if (path.empty()) return;
  // The dialog may have been open a while: the unit saved is the one it was opened for.
  if (!settings_ready(why) || mx::link::unit_key(device_identity().serial, device_identity().path) != key) {
    show_problem((why.empty() ? "The unit " + unit_name(asked_for) + " is no longer connected." : why) +
                 " Nothing was saved.");
    return;
  }
  const TDeviceIdentity unit = device_identity();
  const std::string text =
      mx::ctl::write_settings_file(settings_get(), {mx::ctl::model_name(unit.product), unit.serial, unit.version});
  if (!write_whole_file(path, text)) show_problem("The settings file " + wide_to_utf8(path) + " could not be written.");
}

void Tfmain::LoadSettingsClick() {
  std::string why;
  if (!settings_ready(why)) return;   // the menu is disabled then
  const TDeviceIdentity asked_for = device_identity();
  const std::wstring path = ask_settings_file(handle, false, L"");
  if (path.empty()) return;
  const std::string name = wide_to_utf8(path);
  std::string text;
  if (!read_whole_file(path, text)) {
    show_problem("The settings file " + name + " cannot be read. Nothing was changed.");
    return;
  }
  // The dialog may have been open a while: the file goes to the unit it was opened for.
  if (!settings_ready(why) || mx::link::unit_key(device_identity().serial, device_identity().path) !=
                                  mx::link::unit_key(asked_for.serial, asked_for.path)) {
    show_problem((why.empty() ? "The unit " + unit_name(asked_for) + " is no longer connected." : why) +
                 " Nothing was changed.");
    return;
  }
  // The whole file and the model are checked before anything is written.
  mx::ctl::SettingsFileError error;
  const auto content = mx::ctl::read_settings_file_for(text, device_identity().product, error);
  if (!content) {
    show_problem("The settings file " + name + " was refused: " + error.text + " Nothing was changed.");
    return;
  }
  // One write of the whole record, then a read: the window shows what the unit holds.
  settings_edit_and_save([&](TSettings& s) {
    s = content->record;
    return true;
  });
  post_request(cmd_read);
  active_control_ = nullptr;
  refresh();
}
