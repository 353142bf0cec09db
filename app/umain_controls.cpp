// The main window's controls: the table they are made from, their making, and
// the delivery of their notifications (and the menu's commands) to the
// handlers the table names.
#include "umain.h"
#include "win32/text.h"

#include <commctrl.h>

#include <array>
#include <span>
#include <string>
#include <vector>

#include "UnitMenu.h"
#include "unit_key.h"
#include "USB.h"
#include "winui.h"

namespace {

// Menu command ids; the UI tests choose items by them (app/tests/uidriver.h).
constexpr int id_N1 = 101, id_N2 = 102, id_save_settings = 103, id_load_settings = 104;
// The Unit menu's items: id_unit_first + the item's place in the menu.
constexpr int id_unit_first = 200, max_unit_items = 64;
constexpr int id_src = 1001, id_gain = 1002, id_ref = 1003, id_delay = 1004, id_delay_gpi = 1005,
              id_scale = 1006;

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
  for (const auto& item : items) SendMessageW(h, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(win32::utf8_to_wide(item).c_str()));
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

// The menu's commands: each reaches its handler.
struct MenuItem {
  const wchar_t* text;
  int id;
  void (Tfmain::*click)();
};
// On the menu bar, before the Unit and Settings menus.
constexpr MenuItem menu_items[] = {
    {L"Update firmware", id_N1, &Tfmain::N1Click},
    {L"About", id_N2, &Tfmain::N2Click},
};
constexpr MenuItem settings_items[] = {
    {L"&Save to file\u2026", id_save_settings, &Tfmain::SaveSettingsClick},
    {L"&Load from file\u2026", id_load_settings, &Tfmain::LoadSettingsClick},
};
// The Settings menu's place on the menu bar.
constexpr UINT settings_menu_position = std::size(menu_items) + 1;

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

HMENU Tfmain::create_menu() {
  HMENU menu = CreateMenu();
  for (const MenuItem& item : menu_items) AppendMenuW(menu, MF_STRING, item.id, item.text);
  // Filled by the first scan (show_unit), and again as each opens.
  unit_menu = CreatePopupMenu();
  AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(unit_menu), L"&Unit");
  settings_menu = CreatePopupMenu();
  for (const MenuItem& item : settings_items) AppendMenuW(settings_menu, MF_STRING, item.id, item.text);
  AppendMenuW(menu, MF_POPUP | MF_GRAYED, reinterpret_cast<UINT_PTR>(settings_menu), L"&Settings");
  return menu;
}

void Tfmain::rebuild_unit_menu() {
  std::vector<TUnitSeen> units = units_seen();
  // The scan may be older than the last change of hands between programs.
  for (TUnitSeen& unit : units)
    unit.held_by = unit_holder(mx::link::unit_key(unit.identity.serial, unit.identity.path));
  auto items = unit_menu_items(units, device_identity());
  if (items.size() > max_unit_items) items.resize(max_unit_items);

  while (GetMenuItemCount(unit_menu) > 0) DeleteMenu(unit_menu, 0, MF_BYPOSITION);
  unit_choices_.clear();
  for (size_t i = 0; i < items.size(); ++i) {
    const TUnitMenuItem& item = items[i];
    const UINT flags = MF_STRING | (item.checked ? MF_CHECKED : 0u) | (item.greyed ? MF_GRAYED : 0u);
    // A menu item's '&' marks its access key; the texts' own (device paths) are doubled.
    std::wstring text;
    for (const wchar_t c : win32::utf8_to_wide(item.text)) text += c == L'&' ? std::wstring(L"&&") : std::wstring(1, c);
    AppendMenuW(unit_menu, flags, static_cast<UINT_PTR>(id_unit_first + i), text.c_str());
    // A greyed item keeps its choice: a command for it is checked again (UnitClick).
    unit_choices_.push_back({item.serial, item.path, i < units.size() ? unit_name(units[i].identity) : item.text});
  }
}

void Tfmain::update_settings_menu() {
  std::string why;
  const bool enable = controls_enabled_ && settings_ready(why);
  const UINT state = GetMenuState(mm, settings_menu_position, MF_BYPOSITION);
  if (((state & MF_GRAYED) == 0) == enable) return;
  EnableMenuItem(mm, settings_menu_position, MF_BYPOSITION | (enable ? MF_ENABLED : MF_GRAYED));
  DrawMenuBar(handle);
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

const Tfmain::Control* Tfmain::row_of(int id, HWND window) const {
  for (const Control& c : controls())
    if (c.id != 0 && c.id == id && c.window && this->*c.window == window) return &c;
  return nullptr;
}

// WM_COMMAND from the menu, and from the panel's controls (the panel passes
// them on): each goes to the handler its menu item or control row names.
void Tfmain::on_command(int id, int code, HWND control) {
  if (!control) {
    for (const auto& items : {std::span<const MenuItem>(menu_items), std::span<const MenuItem>(settings_items)})
      for (const MenuItem& item : items)
        if (item.id == id) (this->*item.click)();
    if (id >= id_unit_first && id < id_unit_first + max_unit_items) UnitClick(static_cast<size_t>(id - id_unit_first));
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
