// Small Win32 helpers shared by the two windows: layout pixels scaled to the
// screen's DPI, the Tahoma bold fonts, the panel window class and the message
// dispatch that every message loop of the program uses. Text conversion is in
// win32/text.h.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// Application title: the taskbar text, the main window's caption and the
// caption of the link's error messages.
inline constexpr wchar_t application_title[] = L"MX-540KTR";

// The screen's DPI, read once.
int screen_dpi();
// A layout value given in 96-DPI pixels, in pixels of this screen.
int px(int layout_pixels);

// Tahoma bold with a character height of `layout_pixels` (scaled); kept for the
// life of the process.
HFONT tahoma_bold(int layout_pixels);

std::wstring window_text(HWND hwnd);

// The file the operator names in an open dialog (`save`: a save dialog) with
// one filter ("Name\0*.ext\0"); `flags` beside the dialog's usual ones,
// `suggested` the name it starts with, `default_ext` added to a name typed
// without one. Empty when cancelled.
std::wstring ask_file_name(HWND owner, const wchar_t* filter, bool save, DWORD flags = 0,
                           const std::wstring& suggested = {}, const wchar_t* default_ext = nullptr);

// A child window created at layout coordinates (scaled here), with `font`.
HWND create_child(HWND parent, DWORD ex_style, const wchar_t* cls, const wchar_t* text, DWORD style, int left,
                  int top, int width, int height, int id, HFONT font);

// The panel window class: fills itself with `background`, draws a raised
// 1-pixel bevel, and passes its children's notifications (WM_COMMAND,
// WM_NOTIFY, WM_CTLCOLOR*, scroll messages) to its parent.
HWND create_panel(HWND parent, int left, int top, int width, int height, COLORREF background);

// Client size in layout pixels into the outer size of a window of that style.
SIZE outer_size_for_client(int client_width, int client_height, DWORD style, DWORD ex_style, bool has_menu);

// Handles one message the way every loop of the program does (the active
// window's keyboard shortcuts, keyboard navigation among its controls, then
// dispatch).
void dispatch_message(MSG& msg);
// A window's keyboard shortcuts: `take` sees each key press (WM_KEYDOWN) while
// `window` is the active window, before the control with the focus does, and
// tells whether it took the key. One window has them (the main window).
void set_window_shortcuts(HWND window, std::function<bool(const MSG&)> take);
// The one way other threads hand work to the windows: the routine runs on the
// main thread, from its message loop, soon after. Callable from any thread once
// ui_queue_init has run on the main thread (before that, routines are dropped).
// False when the routine was dropped.
bool post_to_ui(std::function<void()> routine);
void ui_queue_init();
