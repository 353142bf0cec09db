#include "umain.h"

#include <commctrl.h>

#include <array>
#include <span>
#include <string>
#include <vector>

#include "USB.h"
#include "uu.h"
#include "winui.h"

Tfmain* fmain = nullptr;

namespace {

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

LRESULT CALLBACK fmain_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<Tfmain*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->handle = h;
    SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<Tfmain*>(GetWindowLongPtrW(h, GWLP_USERDATA));
  return self ? self->handle_message(msg, wp, lp) : DefWindowProcW(h, msg, wp, lp);
}

HWND create_label(HWND parent, const wchar_t* text, int left, int top, int width, int height, DWORD align) {
  // A right-aligned label keeps its right edge and gets room to the left: text
  // does not scale exactly with the DPI, and a static control wraps (hiding the
  // rest) rather than overflow.
  if (align == SS_RIGHT) {
    left -= 24;
    width += 24;
  }
  return create_child(parent, 0, L"STATIC", text, align | SS_NOPREFIX, left, top, width, height, 0, tahoma_bold(13));
}

HWND create_list(HWND parent, int id, int left, int top, int width, int height,
                 const std::vector<std::string>& items) {
  // The height of a drop-down list's window includes its list; the closed box
  // gets its height through the selection field's item height.
  HWND h = create_child(parent, 0, WC_COMBOBOXW, L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, left, top, width,
                        height + 200, id, tahoma_bold(13));
  for (const auto& item : items) SendMessageW(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(widen(item).c_str()));
  // The closed height follows the selection field's height by a frame that
  // differs between platforms and themes: measure and correct.
  // (Wine reads back a field height other than the one set, so the correction
  // works on the value set.)
  int field = static_cast<int>(SendMessageW(h, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
  for (int pass = 0; pass < 3; ++pass) {
    RECT closed{};
    GetWindowRect(h, &closed);
    const int error = (closed.bottom - closed.top) - px(height);
    if (error == 0 || field - error < 1) break;
    field -= error;
    SendMessageW(h, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
  }
  SendMessageW(h, CB_SETCURSEL, 0, 0);
  return h;
}

template <std::size_t N>
std::vector<std::string> as_list(const std::array<std::string, N>& items) {
  return {items.begin(), items.end()};
}

// The menu bar: each item's command reaches its handler.
struct MenuItem {
  const wchar_t* text;
  int id;
  void (Tfmain::*click)();
};
constexpr MenuItem menu_items[] = {
    {L"Update firmware", id_N1, &Tfmain::N1Click},
    {L"About", id_N2, &Tfmain::N2Click},
};

}  // namespace

std::span<const Tfmain::Control> Tfmain::controls() {
  using K = ControlKind;
  using P = PanelButton;
  static const Control table[] = {
      {.name = "b0", .kind = K::button, .text = L"1", .place = {20, 20, 77, 45}, .press = &Tfmain::but_sel,
       .button = &Tfmain::b0, .which = P::b0},
      {.name = "b2", .kind = K::button, .text = L"3", .place = {20, 71, 77, 45}, .press = &Tfmain::but_sel,
       .button = &Tfmain::b2, .which = P::b2},
      {.name = "b1", .kind = K::button, .text = L"2", .place = {115, 20, 77, 45}, .press = &Tfmain::but_sel,
       .button = &Tfmain::b1, .which = P::b1},
      {.name = "b3", .kind = K::button, .text = L"4", .place = {115, 71, 77, 45}, .press = &Tfmain::but_sel,
       .button = &Tfmain::b3, .which = P::b3},
      {.name = "lb", .kind = K::button, .text = L"L", .place = {214, 20, 40, 45}, .press = &Tfmain::lr_down,
       .button = &Tfmain::lb, .which = P::lb},
      {.name = "rb", .kind = K::button, .text = L"R", .place = {214, 71, 40, 45}, .press = &Tfmain::lr_down,
       .button = &Tfmain::rb, .which = P::rb},
      {.name = "pnl1", .kind = K::panel, .place = {20, 130, 234, 215}, .window = &Tfmain::pnl1},
      {.name = "Label4", .kind = K::label, .text = L"Source SDI", .place = {32, 19, 71, 16}, .style = SS_RIGHT},
      {.name = "lbl2", .kind = K::label, .text = L"Gain", .place = {76, 52, 27, 16}, .style = SS_RIGHT},
      {.name = "Label1", .kind = K::label, .text = L"Ref Level", .place = {43, 84, 60, 16}, .style = SS_RIGHT},
      {.name = "Label11", .kind = K::label, .text = L"Delay", .place = {67, 117, 36, 16}, .style = SS_RIGHT},
      {.name = "lbl3", .kind = K::label, .text = L"Delay GPI", .place = {42, 150, 61, 16}, .style = SS_RIGHT},
      {.name = "Label2", .kind = K::label, .text = L"Scale", .place = {69, 183, 34, 16}, .style = SS_RIGHT},
      {.name = "lbl1", .kind = K::label, .text = L"dB", .place = {187, 53, 24, 16}, .style = SS_LEFT},
      {.name = "Label3", .kind = K::label, .text = L"ms", .place = {187, 117, 24, 16}, .style = SS_LEFT},
      {.name = "lbl4", .kind = K::label, .text = L"ms", .place = {187, 147, 24, 16}, .style = SS_LEFT},
      // Lists and spins in tab order: ref, scale, src, delay, delay_gpi, gain.
      {.name = "ref", .kind = K::list, .place = {114, 81, 91, 24}, .id = id_ref, .change = &Tfmain::refSelect,
       .window = &Tfmain::ref, .field = ValueField::ref, .items = [] { return as_list(ref_items()); }},
      {.name = "scale", .kind = K::list, .place = {114, 180, 91, 24}, .id = id_scale, .change = &Tfmain::scaleChange,
       .window = &Tfmain::scale, .field = ValueField::scale, .items = [] { return as_list(scale_items()); }},
      {.name = "src", .kind = K::list, .place = {114, 16, 91, 24}, .id = id_src, .change = &Tfmain::srcSelect,
       .window = &Tfmain::src, .field = ValueField::src, .items = [] { return as_list(src_items()); }},
      {.name = "delay", .kind = K::spin, .text = L"0", .place = {114, 114, 69, 24}, .id = id_delay,
       .change = &Tfmain::delayChange, .window = &Tfmain::delay, .arrows = &Tfmain::delay_ud,
       .spin = &Tfmain::delay_spin_, .field = ValueField::delay, .range = delay_range},
      {.name = "delay_gpi", .kind = K::spin, .text = L"0", .place = {114, 144, 69, 24}, .id = id_delay_gpi,
       .change = &Tfmain::delay_gpiChange, .window = &Tfmain::delay_gpi, .arrows = &Tfmain::delay_gpi_ud,
       .spin = &Tfmain::delay_gpi_spin_, .field = ValueField::delay_gpi, .range = delay_range},
      {.name = "gain", .kind = K::spin, .text = L"0", .place = {114, 49, 69, 24}, .id = id_gain,
       .change = &Tfmain::gainChange, .window = &Tfmain::gain, .arrows = &Tfmain::gain_ud,
       .spin = &Tfmain::gain_spin_, .field = ValueField::gain, .range = gain_range},
  };
  return table;
}

bool Tfmain::create(HINSTANCE instance) {
  if (!create_window(instance)) return false;
  create_controls();
  FormCreate();
  return true;
}

bool Tfmain::create_window(HINSTANCE instance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = CS_DBLCLKS;   // the colour-style buttons take double-clicks
  wc.lpfnWndProc = fmain_proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.lpszClassName = fmain_class;
  if (!RegisterClassExW(&wc)) return false;

  mm = CreateMenu();
  for (const MenuItem& item : menu_items) AppendMenuW(mm, MF_STRING, item.id, item.text);

  const SIZE outer = outer_size_for_client(client_width, client_height, fmain_style, 0, true);
  if (!CreateWindowExW(0, fmain_class, application_title, fmain_style, CW_USEDEFAULT, CW_USEDEFAULT, outer.cx,
                       outer.cy, nullptr, mm, instance, this))
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

void Tfmain::create_controls() {
  host_ = std::make_unique<hs::THSButtonHost>(handle);
  hs::TFont font;
  font.Name = L"Tahoma";
  font.Height = px(13);
  font.Bold = true;
  font.Color = hs::clBlack;
  hs::TFont hot_font = font;
  hot_font.Color = hs::clWindowText;

  for (const Control& c : controls()) {
    const auto& [left, top, width, height] = c.place;
    switch (c.kind) {
      case ControlKind::button: make_button(c, font, hot_font); break;
      case ControlKind::panel:
        this->*c.window = create_panel(handle, left, top, width, height, GetSysColor(COLOR_BTNFACE));
        break;
      case ControlKind::label: create_label(pnl1, c.text, left, top, width, height, c.style); break;
      case ControlKind::list: this->*c.window = create_list(pnl1, c.id, left, top, width, height, c.items()); break;
      case ControlKind::spin: make_spin(c); break;
    }
  }

  // Keyboard and accessibility clients reach the buttons as presets 1 to 4, L, R.
  host_->SetAccessibleButtons({b0, b1, b2, b3, lb, rb});
  host_->OnAccessibleInfo = [this](const hs::THSSpeedButton& b) { return accessible_info(b); };
  set_window_shortcuts(handle, [this](const MSG& msg) { return shortcut_key(msg); });
}

void Tfmain::make_button(const Control& c, const hs::TFont& font, const hs::TFont& hot_font) {
  const auto& [left, top, width, height] = c.place;
  hs::THSSpeedButton* b =
      host_->CreateButton(px(left), px(top), px(width), px(height), c.text, button_tag(c.which), font);
  // The creation values, in this order: ColorStyle overwrites what Color derived.
  b->SetAlignment(hs::taCenter);
  b->SetBorder(1);
  b->SetCaption(c.text);
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
  b->SetHint(button_hint(c.which));
  b->SetShowHint(true);
  b->OnMouseDown = [this, press = c.press](hs::THSSpeedButton* sender, hs::TMouseButton button, hs::TShiftState,
                                           int, int) { (this->*press)(sender, button); };
  this->*c.button = b;
}

void Tfmain::make_spin(const Control& c) {
  HWND edit = create_child(pnl1, WS_EX_CLIENTEDGE, WC_EDITW, c.text, ES_LEFT | ES_AUTOHSCROLL | WS_TABSTOP,
                           c.place.left, c.place.top, c.place.width, c.place.height, c.id, tahoma_bold(13));
  // UDS_ALIGNRIGHT puts the arrows inside the edit's width, at its right end.
  HWND arrows = CreateWindowExW(0, UPDOWN_CLASSW, L"",
                                WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_SETBUDDYINT | UDS_ARROWKEYS |
                                    UDS_NOTHOUSANDS,
                                0, 0, 0, 0, pnl1, reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id + 10)),
                                GetModuleHandleW(nullptr), nullptr);
  SendMessageW(arrows, UDM_SETBUDDY, reinterpret_cast<WPARAM>(edit), 0);
  SendMessageW(arrows, UDM_SETRANGE32, static_cast<WPARAM>(c.range.min), static_cast<LPARAM>(c.range.max));
  UDACCEL accel{0, static_cast<UINT>(c.range.step)};
  SendMessageW(arrows, UDM_SETACCEL, 1, reinterpret_cast<LPARAM>(&accel));
  SendMessageW(arrows, UDM_SETPOS32, 0, 0);
  this->*c.window = edit;
  this->*c.arrows = arrows;
  Spin& spin = this->*c.spin;
  spin.edit = edit;
  spin.arrows = arrows;
  spin.range = c.range;
  spin.value = 0;
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
  const std::wstring text = about_text(widen(unit.product), widen(unit.serial), widen(unit.version));
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

void Tfmain::lr_down(hs::THSSpeedButton* Sender, hs::TMouseButton) {
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
  for (const Control& c : controls())
    if (c.field == field) return this->*c.window;
  return nullptr;
}

Tfmain::Spin* Tfmain::spin_of(HWND edit) {
  for (const Control& c : controls())
    if (c.kind == ControlKind::spin && this->*c.window == edit) return &(this->*c.spin);
  return nullptr;
}

void Tfmain::spin_text_changed(Spin& spin, ChangeHandler change) {
  // Text that is not a number changes nothing; numbers are clamped to the range.
  const auto value = spin_value(narrow(window_text(spin.edit)), spin.range);
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

const Tfmain::Control* Tfmain::row_of(int id, HWND window) const {
  for (const Control& c : controls())
    if (c.id != 0 && c.id == id && c.window && this->*c.window == window) return &c;
  return nullptr;
}

// WM_COMMAND from the menu, and from the panel's controls (the panel passes
// them on): each goes to the handler its menu item or control row names.
void Tfmain::on_command(int id, int code, HWND control) {
  if (!control) {
    for (const MenuItem& item : menu_items)
      if (item.id == id) (this->*item.click)();
    return;
  }
  if (code == EN_SETFOCUS || code == CBN_SETFOCUS) active_control_ = control;
  const Control* c = row_of(id, control);
  if (!c) return;
  if (c->kind == ControlKind::spin)
    spin_notice(this->*c->spin, code, c->change);
  else if (c->kind == ControlKind::list && code == CBN_SELCHANGE && handlers_attached_)
    (this->*c->change)();
}

void Tfmain::spin_notice(Spin& spin, int code, ChangeHandler change) {
  if (code == EN_CHANGE) spin_text_changed(spin, change);
  // Leaving the box shows the value that was taken (clamped, or the last number).
  if (code == EN_KILLFOCUS) {
    const bool attached = handlers_attached_;
    handlers_attached_ = false;
    spin_show(spin, spin.value);
    handlers_attached_ = attached;
  }
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

void install_link_host() {
  LinkHost host;
  host.refresh = [] { fmain->refresh(); };
  host.post_to_main = post_to_ui;
  host.show_error = [](const std::string& text) {
    binding_error_shown = true;
    MessageBoxW(fmain->handle, widen_utf8(text).c_str(), application_title, MB_OK);
  };
  host.cont = [](bool en) { fmain->Cont(en); };
  host.show_device = [](const TDeviceIdentity& unit) {
    SetWindowTextW(fu->dev_name, widen(unit.product).c_str());
    SetWindowTextW(fu->dev_serial, widen(unit.serial).c_str());
    SetWindowTextW(fu->dev_version, widen(unit.version).c_str());
  };
  host.enable_update_buttons = [](bool en) {
    EnableWindow(fu->select, en);
    EnableWindow(fu->def, en);
  };
  host.update_finished = [] { fu->on_update_finished(); };
  host.settings_reset = [] { fu->on_settings_reset(); };
  link_set_host(std::move(host));
}
