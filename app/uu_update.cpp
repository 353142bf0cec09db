// The update dialog's behaviour: the boot-request timer, the file choice and
// check, the block writing with its progress bar, the finish, close and reset
// buttons, and the device's answers to cmd_finish and cmd_reset.
#include <windows.h>
#include <commctrl.h>

#include <chrono>
#include <string>
#include <vector>

#include "USB.h"
#include "UpdateFile.h"
#include "UpdateLoop.h"
#include "uu.h"
#include "win32/handles.h"
#include "win32/text.h"
#include "winui.h"

namespace {

const wchar_t message_caption[] = L"Обновление программного обеспечения";

// How long one block may take to go out before the update counts as failed.
constexpr std::chrono::milliseconds block_send_bound{15000};

// True while blocks are being written: the handlers refuse to run, so that a
// message sent to the window from outside cannot start a second update or
// post into the mailbox between two blocks.
bool writing_blocks = false;

bool read_file_bytes(const std::wstring& path, std::vector<uint8_t>& out, UpdateFileFault& fault) {
  fault = UpdateFileFault::unreadable;
  const win32::THandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file.get(), &size) != 0;
  // No well-formed file is larger; a huge file is refused without reading it.
  if (ok && static_cast<unsigned long long>(size.QuadPart) > max_update_file_size) {
    fault = UpdateFileFault::too_large;
    ok = false;
  }
  if (ok) {
    out.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = out.empty() || (ReadFile(file.get(), out.data(), static_cast<DWORD>(out.size()), &got, nullptr) &&
                         got == out.size());
  }
  if (ok) fault = UpdateFileFault::none;
  return ok;
}

void set_marquee(HWND pb, bool on) {
  LONG_PTR style = GetWindowLongPtrW(pb, GWL_STYLE);
  style = on ? (style | PBS_MARQUEE) : (style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
  SetWindowLongPtrW(pb, GWL_STYLE, style);
  SendMessageW(pb, PBM_SETMARQUEE, on ? TRUE : FALSE, 30);
}

// An empty, still bar in the normal colour.
void reset_progress(HWND pb) {
  set_marquee(pb, false);
  SendMessageW(pb, PBM_SETSTATE, PBST_NORMAL, 0);
  SendMessageW(pb, PBM_SETPOS, 0, 0);
}

// Between two blocks only painting is handled: the progress bar and any part
// of the program's windows that is uncovered get drawn, and the system sees
// the program take messages, but no click or key is acted upon.
void paint_pending(HWND pb) {
  MSG msg;
  // The progress bar of the common controls animates its fill on a timer.
  for (int i = 0; i < 16 && PeekMessageW(&msg, pb, WM_TIMER, WM_TIMER, PM_REMOVE); ++i) DispatchMessageW(&msg);
  for (int i = 0; i < 64 && PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE); ++i) DispatchMessageW(&msg);
  UpdateWindow(pb);
}

// Clicks and keys that arrived while the window took no input are dropped,
// so that none of them acts once the window takes input again.
void drop_queued_input() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
  }
  while (PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
  }
  while (PeekMessageW(&msg, nullptr, WM_NCMOUSEMOVE, WM_NCMBUTTONDBLCLK, PM_REMOVE)) {
  }
}

// The device's answers to cmd_finish and cmd_reset arrive on the library's
// read thread. Their message boxes are owned by fu, and a box owned by a
// window of another thread ties the two threads' windows together: hiding fu
// then waits on the read thread, which runs no message loop (under Wine the
// dialog was seen to stay on screen after "Закрыть"). So each answer is shown
// on fu's own thread, owner fu as before.
enum Answer { update_finished, settings_reset };

void show_answer(Answer answer) {
  if (!fu) return;
  if (answer == update_finished) {
    MessageBoxW(fu->handle, L"Обновление завершено успешно!", message_caption, MB_OK | MB_ICONINFORMATION);
    close_request = true;
    fu->set_tmrb_interval(100);
  } else {
    MessageBoxW(fu->handle, L"Настройки сброшены!", message_caption, MB_OK | MB_ICONINFORMATION);
  }
}

}  // namespace

void Tfu::FormShow() {
  close_request = false;
  updating = false;
  reset_progress(pb);
}

void Tfu::tmrbTimer() {
  if (close_request) {
    // Hidden already: the ticks until the next showing have nothing to close.
    if (Showing()) Close();
    return;
  }
  set_tmrb_interval(200);
  if (Showing() && !updating && !boot_mode) post_request(cmd_boot_request);
}

void Tfu::selectClick() {
  if (writing_blocks) return;
  auto give_back = [this] {
    EnableWindow(select, TRUE);
    EnableWindow(def, TRUE);
    updating = false;
  };
  EnableWindow(select, FALSE);
  EnableWindow(def, FALSE);
  updating = true;

  const std::wstring path = open ? open() : std::wstring();
  if (path.empty()) {
    give_back();
    return;
  }

  UpdateFile file;
  std::vector<uint8_t> bytes;
  // NAME is single-byte text: it is compared with the product name in the ANSI
  // code page, as the device record gave it.
  if (read_file_bytes(path, bytes, file.fault))
    file = read_update_file(bytes, win32::utf8_to_ansi(device_identity().product));
  bytes.clear();
  bytes.shrink_to_fit();

  auto reject = [&] {
    SendMessageW(pb, PBM_SETSTATE, PBST_ERROR, 0);
    MessageBoxW(handle, L"Неверный файл!", message_caption, MB_OK | MB_ICONERROR);
    SendMessageW(pb, PBM_SETSTATE, PBST_NORMAL, 0);
    give_back();
  };
  if (!file.ok()) {
    reject();
    return;
  }

  reset_progress(pb);
  UpdateWindow(pb);

  UpdatePoster poster;
  poster.write_flash = [](uint16_t adr, const uint8_t* b, size_t n) { return write_flash(adr, b, n); };
  poster.write_eep = [](uint16_t adr, const uint8_t* b, size_t n) { return write_eep(adr, b, n); };
  poster.finish = [] { post_request(cmd_finish); };
  poster.progress = [this](int percent) {
    SendMessageW(pb, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    paint_pending(pb);
  };

  writing_blocks = true;
  EnableWindow(handle, FALSE);
  // A block the unit does not take within the link's bound fails the update;
  // the bar keeps painting while a block waits.
  link_set_send_wait(block_send_bound, [pb = pb] { paint_pending(pb); });
  const UpdateOutcome outcome = run_update(file.flash, file.eeprom, poster);
  link_set_send_wait(block_send_bound);
  drop_queued_input();
  EnableWindow(handle, TRUE);
  writing_blocks = false;
  file = UpdateFile{};   // the images belong to this attempt only

  switch (outcome) {
    case UpdateOutcome::finished:
      // select and def stay disabled and updating stays set: the timer posts
      // nothing until the device's answer closes the dialog.
      set_marquee(pb, true);
      SetFocus(cancel);
      break;
    case UpdateOutcome::failed:
      MessageBoxW(handle, L"Ошибка обновления. Повторите попытку.", message_caption, MB_OK | MB_ICONERROR);
      give_back();
      SetFocus(select);
      break;
    case UpdateOutcome::too_large:
      reject();
      break;
  }
}

void Tfu::cancelClick() {
  if (writing_blocks) return;
  updating = false;
  post_request(cmd_update_close);
  Close();
}

void Tfu::defClick() {
  if (writing_blocks) return;
  // The outcome is not looked at: the device's answer brings the message.
  post_and_wait(cmd_reset);
}

void Tfu::on_update_finished() {
  post_to_ui([] { show_answer(update_finished); });
}

void Tfu::on_settings_reset() {
  post_to_ui([] { show_answer(settings_reset); });
}
