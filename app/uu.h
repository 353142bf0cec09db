// The firmware update dialog fu (class Tfu).
//
// The window, its controls, its placement over fmain, its timer and the modal
// showing live in uu.cpp; the dialog's behaviour (FormShow, tmrbTimer, the
// three buttons and the device's answers to cmd_finish and cmd_reset) lives in
// uu_update.cpp. uu.cpp routes the window's messages to those methods:
//   ShowModal, before showing    -> FormShow
//   WM_TIMER with id tmrb         -> tmrbTimer
//   WM_COMMAND/BN_CLICKED cancel  -> cancelClick
//   WM_COMMAND/BN_CLICKED select  -> selectClick
//   WM_COMMAND/BN_CLICKED def     -> defClick
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>

#include "win32/window.h"

// Process-wide flags of the update dialog, false at start (defined in uu.cpp).
// close_request is written on the library's read thread and read by tmrbTimer on
// the main thread, hence atomics.
extern std::atomic<bool> updating;
extern std::atomic<bool> close_request;

class Tfu : public win32::TWindow {
public:
  // The dialog window (`handle`) and its controls; valid once create() has run.
  HWND cancel = nullptr;       // push button "Закрыть"
  HWND Panel1 = nullptr;       // panel holding the three device fields
  HWND pb = nullptr;           // progress bar 0..100 (msctls_progress32, PBS_SMOOTH)
  HWND select = nullptr;       // push button "ВЫБРАТЬ ФАЙЛ", disabled at creation
  HWND def = nullptr;          // push button "Сброс настроек"
  HWND Label2 = nullptr, Label5 = nullptr, vers = nullptr;   // "Device", "Serial", "Version"
  HWND dev_name = nullptr;     // read-only, centred; rescan fills them
  HWND dev_serial = nullptr;
  HWND dev_version = nullptr;

  // Timer tmrb: id of the WM_TIMER on `handle`; 2000 ms from creation.
  static constexpr UINT_PTR tmrb = 1;
  // Restarts tmrb with a new interval. Callable from any thread: off the main
  // thread it is handed to the main thread by a posted message.
  void set_tmrb_interval(UINT ms);

  // The file-open dialog `open`: one file type "Update File" (*.vnxu). Gives the
  // chosen file's full path, or an empty string when the user cancels. A default
  // (the system dialog owned by fu) is installed by create(); tests may replace it.
  std::function<std::wstring()> open;

  // Builds the window hidden, lays out its controls and runs FormCreate.
  // fmain must exist first (the dialog is placed over it).
  bool create(HINSTANCE instance, HWND fmain_handle);

  // Shows the dialog modally (fmain disabled meanwhile) and returns once
  // Close() has been called. Main thread only.
  void ShowModal();
  // Ends the modal showing and hides the dialog. Main thread only.
  void Close();
  // True while the dialog is visible.
  bool Showing() const;

  // Window events and handlers. FormCreate is uu.cpp's; the rest uu_update.cpp's.
  void FormCreate();
  void FormShow();
  void tmrbTimer();
  void selectClick();
  void cancelClick();
  void defClick();

  // The device's answers to cmd_finish (0xFA) and cmd_reset (0xFD); called by
  // the link on the library's read thread (LinkHost::update_finished and
  // LinkHost::settings_reset).
  void on_update_finished();
  void on_settings_reset();

  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  bool modal_ = false;
};

// The process-wide instance, created at start-up after fmain.
extern Tfu* fu;
