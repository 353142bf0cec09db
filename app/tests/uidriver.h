// Drives MX_540KTR.exe from another Windows process, the way a user would,
// through window messages only: start the program in a fresh folder with the
// virtual MX-540KTR's HID_Lib.dll, find its windows and controls, click,
// choose, type, read message boxes, and read and command the virtual device
// through its state folder (MX540_VIRTUAL_DIR).
#pragma once

#include <windows.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace uidriver {

using std::chrono::milliseconds;

// What the driver knows of MX_540KTR.exe's windows: window classes, the
// command ids of fmain's menu (Wine keeps menus inside their process, so
// another process cannot read them) and the control ids of fmain's panel.
inline constexpr wchar_t fmain_class[] = L"Tfmain";
inline constexpr wchar_t fu_class[] = L"Tfu";
inline constexpr wchar_t panel_class[] = L"MXPanel";
inline constexpr int menu_update_firmware = 101, menu_about = 102;
// The Settings menu's items, and the Unit menu's: menu_unit_first + the item's
// place (the units in the order the last scan saw them, as the bus lists them).
inline constexpr int menu_save_settings = 103, menu_load_settings = 104, menu_unit_first = 200;
inline constexpr int id_src = 1001, id_gain = 1002, id_ref = 1003, id_delay = 1004, id_delay_gpi = 1005,
                     id_scale = 1006;

// Polls `done` every 20 ms until it holds or `timeout` passes; gives its last answer.
bool wait_until(const std::function<bool()>& done, milliseconds timeout = milliseconds(10000));

// The folder of the running test program (where MX_540KTR.exe is built).
std::filesystem::path own_folder();

// A file of the virtual device's folder, whole. The device replaces its files
// while it runs, and under Wine an open that does not share the file for
// deletion fails while the replacement holds it: such an open is tried again
// (bounded). False when the file is not there.
bool read_device_file(const std::filesystem::path& file, std::string& out);

// The virtual device's state folder.
class VirtualDevice {
public:
  explicit VirtualDevice(std::filesystem::path dir) : dir_(std::move(dir)) {}
  const std::filesystem::path& dir() const { return dir_; }

  // Leaves a command (one line of the device's control language) and waits
  // until the device has taken it; gives the line the device logged for it.
  std::string command(const std::string& line, milliseconds timeout = milliseconds(10000));
  // Leaves a command without waiting (for a device that is not loaded yet).
  void leave_command(const std::string& line);

  // The 29-byte settings record the device holds, when its file is there.
  std::optional<std::array<uint8_t, 29>> settings() const;
  // key=value lines of device.txt.
  std::map<std::string, std::string> state() const;
  std::string state(const std::string& key) const;
  // Waits until the device holds a settings record for which `match` is true.
  bool wait_settings(const std::function<bool(const std::array<uint8_t, 29>&)>& match,
                     milliseconds timeout = milliseconds(10000)) const;

private:
  std::filesystem::path dir_;
  int sequence_ = 0;
};

// A copy of the program in a fresh folder, running. While an App runs it holds
// a lock shared by every driver process of the Wine prefix, so that programs
// under test never overlap on the display (tests read pixels and message boxes
// from the screen, and ctest may run several test programs at once).
class App {
public:
  // Makes `folder` (emptied first) with MX_540KTR.exe and the virtual HID_Lib.dll
  // and a device folder "device" inside it. `before_start` may prepare the device
  // folder (for instance leave commands) before the program starts.
  // `device_dir` set: the device's state folder is that one instead, which
  // several programs may share (each simulates every virtual unit).
  explicit App(std::filesystem::path folder, std::filesystem::path device_dir = {});
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Starts the program with MX540_VIRTUAL_DIR set and waits for fmain and fu.
  bool start(milliseconds timeout = milliseconds(20000));
  // Asks fmain to close and waits for the process to end; kills it otherwise.
  void stop(milliseconds timeout = milliseconds(10000));
  bool running() const;
  DWORD exit_code() const;

  const std::filesystem::path& folder() const { return folder_; }
  VirtualDevice& device() { return device_; }
  DWORD pid() const { return pi_.dwProcessId; }
  HWND fmain() const { return fmain_; }
  HWND fu() const { return fu_; }

private:
  std::filesystem::path folder_;
  VirtualDevice device_;
  PROCESS_INFORMATION pi_{};
  HANDLE display_lock_ = nullptr;
  HWND fmain_ = nullptr;
  HWND fu_ = nullptr;
};

// --- windows of another process ---
// Top-level window of process `pid` with window class `cls` (nullptr: any) and
// caption `title` (nullptr: any).
HWND find_top_window(DWORD pid, const wchar_t* cls, const wchar_t* title, bool visible_only = false);
// Descendant of `parent` with that class and text (nullptr: any), the `nth` match in z-order.
HWND find_child(HWND parent, const wchar_t* cls, const wchar_t* text = nullptr, int nth = 0);
HWND find_child_by_id(HWND parent, int id);
std::wstring text_of(HWND hwnd);   // WM_GETTEXT, also across processes
std::wstring class_of(HWND hwnd);
// Client rectangle of `child` in the client coordinates of `ancestor`.
RECT rect_in(HWND child, HWND ancestor);

// --- input, by messages ---
enum class Mouse { left, right, middle };
// Press and release at client point (x, y) of `hwnd`; waits until the program has handled both.
void click_at(HWND hwnd, int x, int y, Mouse button = Mouse::left);
// Press and release at client point (x, y) of `hwnd`, posted the way the mouse's
// input arrives: returns at once, and the program takes both from its queue in
// order, also while a handler of an earlier message is still busy.
void post_click_at(HWND hwnd, int x, int y, Mouse button = Mouse::left);
void click_button(HWND button);                     // BM_CLICK (push buttons)
void choose_item(HWND combo, int index);            // CB_SETCURSEL + CBN_SELCHANGE to its parent
int chosen_item(HWND combo);                        // CB_GETCURSEL
void set_text(HWND edit, const std::wstring& text); // WM_SETTEXT (EN_CHANGE follows)
// Types `text` over the whole text of an edit: selects all, then one WM_CHAR
// per character, posted the way the keyboard's input arrives (returns at once).
void post_typing(HWND edit, const std::wstring& text);
void focus_by_click(HWND control);                  // a click inside the control takes the focus
// Chooses the menu bar item at `index` of `hwnd` (posted, so a modal loop may
// follow). Where the menu cannot be read from here, fmain's known ids are used.
void choose_menu(HWND hwnd, int index);

// --- real input (SendInput), as a user's: it activates windows and moves the focus ---
// Moves the mouse pointer to client point (x, y) of `hwnd`.
void move_mouse(HWND hwnd, int x, int y);
// A left click at client point (x, y) of `hwnd`.
void real_click(HWND hwnd, int x, int y);
// Presses the virtual keys in order and releases them in reverse (VK_CONTROL, '1': Ctrl+1).
void press_keys(std::initializer_list<WORD> keys);
// The active window and the window with the keyboard focus of `hwnd`'s thread.
HWND active_of(HWND hwnd);
HWND focus_of(HWND hwnd);

// --- message boxes ---
struct MessageBoxInfo {
  HWND hwnd = nullptr;
  std::wstring caption, text;
  std::vector<std::wstring> buttons;
  HWND owner = nullptr;
  bool error_icon = false, info_icon = false;   // icon recognised by its image
};
// The first message box (dialog class #32770) of `pid` that appears within `timeout`.
std::optional<MessageBoxInfo> wait_message_box(DWORD pid, milliseconds timeout = milliseconds(10000));
// Which standard icon (IDI_ERROR, IDI_INFORMATION, IDI_WARNING, IDI_QUESTION) the
// icon control of a message box shows.
LPCWSTR shown_icon(HWND icon_static);
// Presses one of its buttons by command id (IDOK, IDCANCEL ...) and waits until it is gone.
bool answer_message_box(const MessageBoxInfo& box, int id);

// --- menus and file dialogs, as the screen shows them ---
// One line of a popup menu: whether its text is in the grey of unavailable
// items, and where its leftmost mark is (a check mark comes before the text).
struct MenuRow {
  bool grey = false;
  int ink_left = 0;
};
// The lines of the popup menu that process `pid` shows once `open` has run
// (waited for within `timeout`), top to bottom; none when none appeared.
std::vector<MenuRow> popup_menu_rows(DWORD pid, const std::function<void()>& open,
                                     milliseconds timeout = milliseconds(5000));
// The menu bar of `hwnd` as the screen shows it (a one-line bar), top-down 32-bit.
std::vector<uint32_t> menu_bar_pixels(HWND hwnd);
// Types `path` into the file dialog (open or save) that `pid` shows within
// `timeout` and presses its OK button; false when no dialog appeared.
bool answer_file_dialog(DWORD pid, const std::wstring& path, milliseconds timeout = milliseconds(10000));

// --- pictures ---
// A copy of the window (frame included) as the screen shows it, saved as a 24-bit BMP.
bool save_window_bmp(HWND hwnd, const std::filesystem::path& file);
// Colour (0x00BBGGRR) at client point (x, y) of `hwnd`, read from the screen.
COLORREF pixel_at(HWND hwnd, int x, int y);

}  // namespace uidriver
