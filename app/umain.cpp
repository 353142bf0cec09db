#include "umain.h"

#include <commctrl.h>

#include <string>

#include "USB.h"
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

constexpr int id_N1 = 101, id_N2 = 102;
constexpr int id_src = 1001, id_gain = 1002, id_ref = 1003, id_delay = 1004, id_delay_gpi = 1005,
              id_scale = 1006;

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

HWND create_label(HWND parent, const wchar_t* text, int left, int top, int width, DWORD align) {
  // A right-aligned label keeps its right edge and gets room to the left: text
  // does not scale exactly with the DPI, and a static control wraps (hiding the
  // rest) rather than overflow.
  if (align == SS_RIGHT) {
    left -= 24;
    width += 24;
  }
  return create_child(parent, 0, L"STATIC", text, align | SS_NOPREFIX, left, top, width, 16, 0, tahoma_bold(13));
}

HWND create_list(HWND parent, int id, int left, int top, int width, const auto& items) {
  // The height of a drop-down list's window includes its list; the closed box
  // gets its 24-pixel height through the selection field's item height.
  HWND h = create_child(parent, 0, WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, left, top, width,
                        24 + 200, id, tahoma_bold(13));
  for (const auto& item : items) SendMessageW(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(utf8_to_wide(item).c_str()));
  // The closed height follows the selection field's height by a frame that
  // differs between platforms and themes: measure and correct.
  // (Wine reads back a field height other than the one set, so the correction
  // works on the value set.)
  int field = static_cast<int>(SendMessageW(h, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
  for (int pass = 0; pass < 3; ++pass) {
    RECT closed{};
    GetWindowRect(h, &closed);
    const int error = (closed.bottom - closed.top) - px(24);
    if (error == 0 || field - error < 1) break;
    field -= error;
    SendMessageW(h, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  }
  SendMessageW(h, CB_SETCURSEL, 0, 0);
  return h;
}

}  // namespace

bool Tfmain::create(HINSTANCE instance) {
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

  mm = CreateMenu();
  AppendMenuW(mm, MF_STRING, id_N1, L"Update firmware");
  AppendMenuW(mm, MF_STRING, id_N2, L"About");

  const SIZE outer = outer_size_for_client(client_width, client_height, fmain_style, 0, true);
  if (!create_window(0, fmain_class, application_title, fmain_style, CW_USEDEFAULT, CW_USEDEFAULT, outer.cx,
                     outer.cy, nullptr, mm, instance))
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

  host_ = std::make_unique<hs::THSButtonHost>(handle);
  hs::TFont font;
  font.Name = L"Tahoma";
  font.Height = px(13);
  font.Bold = true;
  font.Color = hs::clBlack;
  hs::TFont hot_font = font;
  hot_font.Color = hs::clWindowText;

  struct ButtonPlace {
    hs::THSSpeedButton** field;
    PanelButton which;
    const wchar_t* caption;
    int left, top, width, height;
  } const places[] = {
      {&b0, PanelButton::b0, L"1", 20, 20, 77, 45}, {&b2, PanelButton::b2, L"3", 20, 71, 77, 45},
      {&b1, PanelButton::b1, L"2", 115, 20, 77, 45}, {&b3, PanelButton::b3, L"4", 115, 71, 77, 45},
      {&lb, PanelButton::lb, L"L", 214, 20, 40, 45}, {&rb, PanelButton::rb, L"R", 214, 71, 40, 45},
  };
  for (const auto& place : places) {
    hs::THSSpeedButton* b = host_->CreateButton(px(place.left), px(place.top), px(place.width), px(place.height),
                                                place.caption, button_tag(place.which), font);
    // The creation values, in this order: ColorStyle overwrites what Color derived.
    b->SetAlignment(hs::taCenter);
    b->SetBorder(1);
    b->SetCaption(place.caption);
    b->SetColor(hs::clSilver);
    b->SetColorWhenDown(hs::clWhite);
    b->SetColorStyle(hs::lcsChrome);
    b->SetFont(font);
    b->SetHotTrackColor(0xD0D0D0);
    b->SetHotTrackFont(hot_font);
    b->SetParentFont(false);
    b->SetShadowColor(hs::clSilver);
    b->SetSmooth(0);
    b->SetStyle(hs::bsModern);
    b->SetHint(button_hint(place.which));
    b->SetShowHint(true);
    if (is_preset_button(place.which))
      b->OnMouseDown = [this](hs::THSSpeedButton* sender, hs::TMouseButton button, hs::TShiftState, int, int) {
        but_sel(sender, button);
      };
    else
      b->OnMouseDown = [this](hs::THSSpeedButton* sender, hs::TMouseButton, hs::TShiftState, int, int) {
        lr_down(sender);
      };
    *place.field = b;
  }

  // Keyboard and accessibility clients reach the buttons as presets 1 to 4, L, R.
  host_->SetAccessibleButtons({b0, b1, b2, b3, lb, rb});
  host_->OnAccessibleInfo = [this](const hs::THSSpeedButton& b) { return accessible_info(b); };
  set_window_shortcuts(handle, [this](const MSG& msg) { return shortcut_key(msg); });

  pnl1 = create_panel(handle, 20, 130, 234, 215, GetSysColor(COLOR_BTNFACE));
  create_label(pnl1, L"Source SDI", 32, 19, 71, SS_RIGHT);    // Label4
  create_label(pnl1, L"Gain", 76, 52, 27, SS_RIGHT);          // lbl2
  create_label(pnl1, L"Ref Level", 43, 84, 60, SS_RIGHT);     // Label1
  create_label(pnl1, L"Delay", 67, 117, 36, SS_RIGHT);        // Label11
  create_label(pnl1, L"Delay GPI", 42, 150, 61, SS_RIGHT);    // lbl3
  create_label(pnl1, L"Scale", 69, 183, 34, SS_RIGHT);        // Label2
  create_label(pnl1, L"dB", 187, 53, 24, SS_LEFT);            // lbl1
  create_label(pnl1, L"ms", 187, 117, 24, SS_LEFT);           // Label3
  create_label(pnl1, L"ms", 187, 147, 24, SS_LEFT);           // lbl4

  // Created in tab order (ref, scale, src, delay, delay_gpi, gain): the
  // z-order of the panel's children is the order Tab walks them.
  ref = create_list(pnl1, id_ref, 114, 81, 91, ref_items());
  scale = create_list(pnl1, id_scale, 114, 180, 91, scale_items());
  src = create_list(pnl1, id_src, 114, 16, 91, src_items());

  auto make_spin = [&](Spin& spin, HWND& edit, HWND& arrows, int id, int top, SpinRange range,
                       void (Tfmain::*changed)()) {
    edit = create_child(pnl1, WS_EX_CLIENTEDGE, WC_EDITW, L"0", ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP, 114, top, 69,
                        24, id, tahoma_bold(13));
    // UDS_ALIGNRIGHT puts the arrows inside the 69 pixels, at the edit's right end.
    arrows = CreateWindowExW(0, UPDOWN_CLASSW, L"",
                             WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_SETBUDDYINT | UDS_ARROWKEYS | UDS_NOTHOUSANDS,
                             0, 0, 0, 0, pnl1, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id + 10)),
                             GetModuleHandleW(nullptr), nullptr);
    SendMessageW(arrows, UDM_SETBUDDY, reinterpret_cast<WPARAM>(edit), 0);
    SendMessageW(arrows, UDM_SETRANGE32, static_cast<WPARAM>(range.min), static_cast<LPARAM>(range.max));
    UDACCEL accel{0, static_cast<UINT>(range.step)};
    SendMessageW(arrows, UDM_SETACCEL, 1, reinterpret_cast<LPARAM>(&accel));
    SendMessageW(arrows, UDM_SETPOS32, 0, 0);
    spin.edit = edit;
    spin.arrows = arrows;
    spin.range = range;
    spin.value = 0;
    spin.changed = changed;
  };
  make_spin(delay_spin_, delay, delay_ud, id_delay, 114, delay_range, &Tfmain::delayChange);
  make_spin(delay_gpi_spin_, delay_gpi, delay_gpi_ud, id_delay_gpi, 144, delay_range, &Tfmain::delay_gpiChange);
  make_spin(gain_spin_, gain, gain_ud, id_gain, 49, gain_range, &Tfmain::gainChange);

  FormCreate();
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

void Tfmain::but_sel(hs::THSSpeedButton* Sender, hs::TMouseButton Button) {
  const int n = static_cast<int>(Sender->Tag);
  bool changed = false;
  settings_edit([&](TSettings& s) { changed = edit_preset_button(s, n, Button == hs::mbRight); });
  if (changed) save();
  // No active control: the next refresh rewrites all six value controls.
  active_control_ = nullptr;
  if (GetActiveWindow() == handle) SetFocus(handle);
}

void Tfmain::lr_down(hs::THSSpeedButton* Sender) {
  const int tag = static_cast<int>(Sender->Tag);
  bool changed = false;
  settings_edit([&](TSettings& s) { changed = edit_channel(s, tag); });
  if (changed) save();
}

void Tfmain::value_edited(ValueField field, int value) {
  bool changed = false;
  settings_edit([&](TSettings& s) { changed = edit_value(s, field, value); });
  if (changed) save();
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

void Tfmain::save() { ::save(); }

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

HWND Tfmain::control_of(ValueField field) const {
  switch (field) {
    case ValueField::src: return src;
    case ValueField::gain: return gain;
    case ValueField::ref: return ref;
    case ValueField::delay: return delay;
    case ValueField::delay_gpi: return delay_gpi;
    case ValueField::scale: return scale;
  }
  return nullptr;
}

Tfmain::Spin* Tfmain::spin_of(HWND edit) {
  for (Spin* s : {&gain_spin_, &delay_spin_, &delay_gpi_spin_})
    if (s->edit == edit) return s;
  return nullptr;
}

void Tfmain::spin_text_changed(Spin& spin) {
  // Text that is not a number changes nothing; numbers are clamped to the range.
  const auto value = spin_value(wide_to_utf8(window_text(spin.edit)), spin.range);
  if (!value) return;
  spin.value = *value;
  if (handlers_attached_) (this->*spin.changed)();
}

void Tfmain::spin_show(Spin& spin, int value) {
  spin.value = value;
  const std::wstring text = std::to_wstring(value);
  if (window_text(spin.edit) != text) SetWindowTextW(spin.edit, text.c_str());
  SendMessageW(spin.arrows, UDM_SETPOS32, 0, value);
}

void Tfmain::refresh() {
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
    case WM_COMMAND: {
      const int id = LOWORD(wp);
      const int code = HIWORD(wp);
      HWND control = reinterpret_cast<HWND>(lp);
      if (!control) {
        if (id == id_N1) N1Click();
        if (id == id_N2) N2Click();
        return 0;
      }
      if (code == EN_SETFOCUS || code == CBN_SETFOCUS) active_control_ = control;
      if (Spin* spin = spin_of(control)) {
        if (code == EN_CHANGE) spin_text_changed(*spin);
        // Leaving the box shows the value that was taken (clamped, or the last number).
        if (code == EN_KILLFOCUS) {
          const bool attached = handlers_attached_;
          handlers_attached_ = false;
          spin_show(*spin, spin->value);
          handlers_attached_ = attached;
        }
        return 0;
      }
      if (code == CBN_SELCHANGE && handlers_attached_) {
        if (control == src) srcSelect();
        if (control == ref) refSelect();
        if (control == scale) scaleChange();
      }
      return 0;
    }
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
