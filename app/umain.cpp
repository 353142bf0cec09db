#include "umain.h"

#include <commctrl.h>

#include <string>

#include "USB.h"
#include "UnitMenu.h"
#include "unit_key.h"
#include "uu.h"
#include "win32/text.h"
#include "winui.h"

Tfmain* fmain = nullptr;

namespace {

using win32::utf8_to_wide;
using win32::wide_to_utf8;

// Private message of fmain.
// FormActivate runs after the activation has completed, so that its message
// box (and the closing on a failed binding) does not run inside WM_ACTIVATE.
constexpr UINT WM_APP_ACTIVATE = WM_APP + 2;

constexpr wchar_t fmain_class[] = L"Tfmain";
constexpr DWORD fmain_style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr int client_width = 274, client_height = 365;

hs::THSColorStyle style_of(Shade shade) {
  switch (shade) {
    case Shade::green: return hs::lcsGreen;
    case Shade::red: return hs::lcsRed;
    case Shade::gold: return hs::lcsGold;
    case Shade::chrome: break;
  }
  return hs::lcsChrome;
}

Shade shade_of(hs::THSColorStyle style) {
  switch (style) {
    case hs::lcsGreen: return Shade::green;
    case hs::lcsRed: return Shade::red;
    case hs::lcsGold: return Shade::gold;
    case hs::lcsChrome: break;
  }
  return Shade::chrome;
}

}  // namespace

bool Tfmain::create(HINSTANCE instance) {
  if (!create_frame(instance)) return false;
  create_controls();
  FormCreate();
  return true;
}

bool Tfmain::create_frame(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;   // the colour-style buttons take double-clicks
  wc.lpfnWndProc = &win32::TWindow::procedure;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.lpszClassName = fmain_class;
  if (!RegisterClassExW(&wc)) return false;

  mm = create_menu();

  const SIZE outer = outer_size_for_client(client_width, client_height, fmain_style, 0, true);
  if (!create_window(0, fmain_class, utf8_to_wide(window_title({})).c_str(), fmain_style, CW_USEDEFAULT,
                     CW_USEDEFAULT, outer.cx, outer.cy, nullptr, mm, instance))
    return false;

  // A menu bar that wraps takes more height than AdjustWindowRectEx assumed.
  RECT client{};
  GetClientRect(handle, &client);
  RECT window{};
  GetWindowRect(handle, &window);
  const int dw = px(client_width) - (client.right - client.left);
  const int dh = px(client_height) - (client.bottom - client.top);
  if (dw || dh)
    SetWindowPos(handle, nullptr, 0, 0, window.right - window.left + dw, window.bottom - window.top + dh,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  return true;
}

void Tfmain::FormCreate() {
  RECT r{};
  GetWindowRect(handle, &r);
  const int left = centre_on_screen(GetSystemMetrics(SM_CXSCREEN), r.right - r.left);
  const int top = centre_on_screen(GetSystemMetrics(SM_CYSCREEN), r.bottom - r.top);
  SetWindowPos(handle, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Cont(false);
  SetTimer(handle, tmr, 2000, nullptr);
}

void Tfmain::Cont(bool en) {
  controls_enabled_ = en;
  update_settings_menu();
  for (hs::THSSpeedButton* b : {b0, b2, b1, b3, lb, rb}) b->SetEnabled(en);
  EnableWindow(pnl1, en);
  // A disabled panel makes its controls unreachable; they are disabled too so
  // that they also look it.
  for (HWND c : {src, gain, gain_ud, ref, delay, delay_ud, delay_gpi, delay_gpi_ud, scale}) EnableWindow(c, en);
  if (!en) {
    HWND focus = GetFocus();
    if (focus && IsChild(pnl1, focus)) SetFocus(handle);
    active_control_ = nullptr;
  }
}

namespace {
// Set when the link reported an error while binding (the library file could not
// be written): that failure has been shown and leaves the window open, disabled.
bool binding_error_shown = false;
}  // namespace

void Tfmain::FormActivate() {
  // The binding is made once; after the update dialog, N1Click runs rescan itself.
  if (bound_) return;
  bound_ = true;
  binding_error_shown = false;
  if (!usb_init() && !binding_error_shown) {
    MessageBoxW(fu ? fu->handle : handle, L"USB initialization error!", L"", MB_ICONERROR | MB_OKCANCEL);
    PostMessageW(handle, WM_CLOSE, 0, 0);
  }
}

void Tfmain::FormClose() { usb_stop(); }

void Tfmain::tmrTimer() {
  if (boot_mode) return;
  post_request(cmd_read);
}

void Tfmain::N1Click() {
  fu->ShowModal();
  rescan();
}

void Tfmain::N2Click() {
  const TDeviceIdentity unit = device_identity();
  const std::wstring text =
      about_text(utf8_to_wide(unit.product), utf8_to_wide(unit.serial), utf8_to_wide(unit.version));
  MessageBoxW(handle, text.c_str(), L"", MB_ICONINFORMATION | MB_OK);
}

void Tfmain::show_unit(const TDeviceIdentity& unit) {
  SetWindowTextW(handle, utf8_to_wide(window_title(unit)).c_str());
  rebuild_unit_menu();
  update_settings_menu();
}

void Tfmain::show_problem(const std::string& text) const {
  MessageBoxW(handle, utf8_to_wide(text).c_str(), application_title, MB_ICONERROR | MB_OK);
}

namespace {

// Whether `unit` is the one a Unit menu item chooses (by serial, by path, or both).
bool is_choice(const TDeviceIdentity& unit, const std::string& serial, const std::string& path) {
  return names_a_unit(unit) && (serial.empty() || unit.serial == serial) && (path.empty() || unit.path == path);
}

}  // namespace

void Tfmain::UnitClick(size_t index) {
  if (index >= unit_choices_.size()) return;
  const UnitChoice chosen = unit_choices_[index];
  const TDeviceIdentity before = device_identity();
  if (chosen.serial.empty() && chosen.path.empty()) return;
  if (is_choice(before, chosen.serial, chosen.path)) return;
  // Another program may have taken it since the menu was built.
  if (const std::string holder = unit_holder(mx::link::unit_key(chosen.serial, chosen.path)); !holder.empty()) {
    rebuild_unit_menu();
    show_problem("The unit " + chosen.name + " is held by " + holder + ".");
    return;
  }
  // This window's unit is given back and the chosen one taken, by the rules
  // every scan follows; an edit still on its way belongs to its own unit.
  link_choose_unit(chosen.serial, chosen.path);
  rescan();
  if (is_choice(device_identity(), chosen.serial, chosen.path)) return;
  std::string what = "is no longer connected";
  for (const TUnitSeen& unit : units_seen())
    if (is_choice(unit.identity, chosen.serial, chosen.path))
      what = unit.held_by.empty() ? "could not be taken" : "is held by " + unit.held_by;
  // Not taken after all: back to the unit this window drove (none: the first free one).
  if (mx::link::has_serial(before.serial))
    link_choose_unit(before.serial);
  else
    link_choose_unit({}, before.path);
  rescan();
  show_problem("The unit " + chosen.name + " " + what + ".");
}

void Tfmain::but_sel(hs::THSSpeedButton* Sender, hs::TMouseButton Button) {
  const int n = static_cast<int>(Sender->Tag);
  settings_edit_and_save([&](TSettings& s) { return edit_preset_button(s, n, Button == hs::mbRight); });
  // No active control: the next refresh rewrites all six value controls.
  active_control_ = nullptr;
  if (GetActiveWindow() == handle) SetFocus(handle);
}

void Tfmain::lr_down(hs::THSSpeedButton* Sender, hs::TMouseButton) {
  const int tag = static_cast<int>(Sender->Tag);
  settings_edit_and_save([&](TSettings& s) { return edit_channel(s, tag); });
}

void Tfmain::value_edited(ValueField field, int value) {
  settings_edit_and_save([&](TSettings& s) { return edit_value(s, field, value); });
}

void Tfmain::srcSelect() {
  const auto item = static_cast<int>(SendMessageW(src, CB_GETCURSEL, 0, 0));
  if (item >= 0) value_edited(ValueField::src, item);
}

void Tfmain::refSelect() {
  const auto item = static_cast<int>(SendMessageW(ref, CB_GETCURSEL, 0, 0));
  if (item >= 0) value_edited(ValueField::ref, item);
}

void Tfmain::scaleChange() {
  const auto item = static_cast<int>(SendMessageW(scale, CB_GETCURSEL, 0, 0));
  if (item >= 0) value_edited(ValueField::scale, item);
}

void Tfmain::gainChange() { value_edited(ValueField::gain, gain_spin_.value); }
void Tfmain::delayChange() { value_edited(ValueField::delay, delay_spin_.value); }
void Tfmain::delay_gpiChange() { value_edited(ValueField::delay_gpi, delay_gpi_spin_.value); }

hs::THSSpeedButton* Tfmain::button(int n) const {
  switch (n) {
    case 0: return b0;
    case 1: return b1;
    case 2: return b2;
    case 3: return b3;
  }
  return nullptr;
}

hs::THSSpeedButton* Tfmain::panel_button(PanelButton which) const {
  switch (which) {
    case PanelButton::lb: return lb;
    case PanelButton::rb: return rb;
    default: return button(button_tag(which));
  }
}

bool Tfmain::shortcut_key(const MSG& msg) {
  if (!IsWindowEnabled(handle)) return false;
  const auto press = shortcut_press(static_cast<int>(msg.wParam), GetKeyState(VK_CONTROL) < 0,
                                    GetKeyState(VK_SHIFT) < 0, GetKeyState(VK_MENU) < 0);
  if (!press) return false;
  // A held key repeats its WM_KEYDOWN: one stroke is one click. The button
  // takes it as the mouse's press (a disabled one takes none).
  const bool repeat = (msg.lParam & (1 << 30)) != 0;
  if (!repeat) panel_button(press->button)->Press(press->right_button ? hs::mbRight : hs::mbLeft);
  return true;
}

hs::THSAccessibleInfo Tfmain::accessible_info(const hs::THSSpeedButton& b) const {
  hs::THSAccessibleInfo info;
  for (PanelButton which : panel_buttons) {
    if (panel_button(which) != &b) continue;
    info.Name = button_name(which);
    info.KeyboardShortcut = shortcut_text({which, false});
    // Pressed is what the face shows: the active preset, the selected channels.
    info.Pressed = shows_on(which, shade_of(b.ColorStyle()));
  }
  return info;
}

void Tfmain::spin_text_changed(Spin& spin, ChangeHandler change) {
  // Text that is not a number changes nothing; numbers are clamped to the range.
  const auto value = spin_value(wide_to_utf8(window_text(spin.edit)), spin.range);
  if (!value) return;
  spin.value = *value;
  if (handlers_attached_) (this->*change)();
}

void Tfmain::spin_show(Spin& spin, int value) {
  spin.value = value;
  const std::wstring text = std::to_wstring(value);
  if (window_text(spin.edit) != text) SetWindowTextW(spin.edit, text.c_str());
  SendMessageW(spin.arrows, UDM_SETPOS32, 0, value);
}

void Tfmain::refresh() {
  update_settings_menu();
  const TSettings s = settings_get();
  for (int n = 0; n < 4; ++n) button(n)->SetColorStyle(style_of(preset_button_shade(n, s)));
  if (auto shades = channel_shades(s)) {
    lb->SetColorStyle(style_of(shades->lb));
    rb->SetColorStyle(style_of(shades->rb));
  }
  handlers_attached_ = false;
  for (ValueField field : value_fields) {
    const auto value = shown_value(s, field);
    HWND control = control_of(field);
    if (!value || control == active_control_) continue;
    if (Spin* spin = spin_of(control))
      spin_show(*spin, *value);
    else
      SendMessageW(control, CB_SETCURSEL, static_cast<WPARAM>(*value), 0);
  }
  handlers_attached_ = true;
}

LRESULT Tfmain::handle_message(UINT msg, WPARAM wp, LPARAM lp) {
  if (host_) {
    LRESULT result = 0;
    if (host_->handle_message(handle, msg, wp, lp, result)) return result;
  }
  switch (msg) {
    case WM_COMMAND:
      on_command(LOWORD(wp), HIWORD(wp), reinterpret_cast<HWND>(lp));
      return 0;
    case WM_INITMENUPOPUP:
      // The system menu's items are still set up by the default handling below.
      if (reinterpret_cast<HMENU>(wp) == unit_menu) rebuild_unit_menu();
      break;
    case WM_CTLCOLORSTATIC: {
      // Labels, and the spin boxes' edits while disabled, on the button-face ground.
      HDC dc = reinterpret_cast<HDC>(wp);
      HWND control = reinterpret_cast<HWND>(lp);
      if (spin_of(control)) {
        // Opaque: an edit redraws changed text over its old text.
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
      } else {
        SetBkMode(dc, TRANSPARENT);
      }
      if (!IsWindowEnabled(control)) SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_TIMER:
      if (wp == tmr) tmrTimer();
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE) {
        if (active_control_ && IsWindowEnabled(active_control_))
          SetFocus(active_control_);
        else
          SetFocus(handle);
        PostMessageW(handle, WM_APP_ACTIVATE, 0, 0);
      }
      return 0;
    case WM_APP_ACTIVATE:
      FormActivate();
      return 0;
    case WM_CLOSE:
      FormClose();
      DestroyWindow(handle);
      return 0;
    case WM_DESTROY:
      KillTimer(handle, tmr);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(handle, msg, wp, lp);
}

namespace {

// The link's view of the two windows.
class TWindowsLinkHost final : public LinkHost {
 public:
  bool run_on_main(std::function<void()> routine) override { return post_to_ui(std::move(routine)); }
  void show_settings() override { fmain->refresh(); }
  void report_error(const std::string& text) override {
    binding_error_shown = true;
    MessageBoxW(fmain->handle, utf8_to_wide(text).c_str(), application_title, MB_OK);
  }
  void enable_controls(bool en) override { fmain->Cont(en); }
  void show_unit(const TDeviceIdentity& unit) override {
    fmain->show_unit(unit);
    SetWindowTextW(fu->dev_name, utf8_to_wide(unit.product).c_str());
    SetWindowTextW(fu->dev_serial, utf8_to_wide(unit.serial).c_str());
    SetWindowTextW(fu->dev_version, utf8_to_wide(unit.version).c_str());
  }
  void enable_update(bool en) override {
    EnableWindow(fu->select, en);
    EnableWindow(fu->def, en);
  }
  void on_update_finished() override { fu->on_update_finished(); }
  void on_settings_reset() override { fu->on_settings_reset(); }
};

}  // namespace

void install_link_host() { link_set_host(std::make_shared<TWindowsLinkHost>()); }
