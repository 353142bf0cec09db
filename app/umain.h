// The main window fmain (class Tfmain): the four preset buttons, the L and R
// channel buttons and the panel pnl1 with the six settings of the active preset.
// Its title names the unit it drives; the menu bar has the firmware update,
// About, the Unit menu (every unit the last scan saw, to choose another) and the
// Settings menu (the unit's settings saved to and loaded from a file).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "PresetLogic.h"
#include "win/HSButtonHost.h"
#include "win32/window.h"

class Tfmain : public win32::TWindow {
public:
  HMENU mm = nullptr;
  HMENU unit_menu = nullptr, settings_menu = nullptr;   // popups of mm
  static constexpr UINT_PTR tmr = 1;   // poll timer, 2000 ms

  // Colour-style buttons, in child order (the order Cont walks them).
  hs::THSSpeedButton* b0 = nullptr;
  hs::THSSpeedButton* b2 = nullptr;
  hs::THSSpeedButton* b1 = nullptr;
  hs::THSSpeedButton* b3 = nullptr;
  hs::THSSpeedButton* lb = nullptr;
  hs::THSSpeedButton* rb = nullptr;

  HWND pnl1 = nullptr;
  HWND src = nullptr, ref = nullptr, scale = nullptr;                 // drop-down lists
  HWND gain = nullptr, delay = nullptr, delay_gpi = nullptr;          // spin boxes: the edit
  HWND gain_ud = nullptr, delay_ud = nullptr, delay_gpi_ud = nullptr; //   and its arrows

  bool create(HINSTANCE instance);

  void FormCreate();
  void FormActivate();
  void FormClose();
  void Cont(bool en);
  void tmrTimer();
  void N1Click();
  void N2Click();
  // The Unit menu's item `index` (in the order it was last built).
  void UnitClick(size_t index);
  void SaveSettingsClick();
  void LoadSettingsClick();
  // Discovery's news: the unit this window drives now (an empty identity:
  // none) names the window, and the Unit menu lists what the scan saw.
  void show_unit(const TDeviceIdentity& unit);

  void but_sel(hs::THSSpeedButton* Sender, hs::TMouseButton Button);
  void lr_down(hs::THSSpeedButton* Sender, hs::TMouseButton Button);
  void srcSelect();
  void gainChange();
  void refSelect();
  void delayChange();
  void delay_gpiChange();
  void scaleChange();
  void refresh();

  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) override;

private:
  struct Spin {
    HWND edit = nullptr, arrows = nullptr;
    SpinRange range{};
    int value = 0;   // the last value inside the range; typed text that is not a number leaves it
  };

  // The window's controls, one row each in creation order; the z-order of the
  // panel's children is the order Tab walks them. A row says how the control
  // is made, where it is kept and which handler its notifications reach.
  enum class ControlKind : uint8_t { button, panel, label, list, spin };
  using PressHandler = void (Tfmain::*)(hs::THSSpeedButton*, hs::TMouseButton);
  using ChangeHandler = void (Tfmain::*)();
  struct Control {
    const char* name;                // the control's name in the form
    ControlKind kind;
    const wchar_t* text = L"";       // caption of a button or label
    struct Place {
      int left = 0, top = 0, width = 0, height = 0;   // layout pixels
    } place;
    DWORD style = 0;                 // a label's alignment
    int id = 0;                      // control id of a list or spin
    PressHandler press = nullptr;    // button: mouse down
    ChangeHandler change = nullptr;  // list: selection made; spin: value taken
    hs::THSSpeedButton* Tfmain::*button = nullptr;
    HWND Tfmain::*window = nullptr;  // panel, list, spin's edit
    HWND Tfmain::*arrows = nullptr;  // spin's up-down control
    Spin Tfmain::*spin = nullptr;
    PanelButton which = PanelButton::b0;         // button
    std::optional<ValueField> field{};           // list, spin: the setting it shows
    std::vector<std::string> (*items)() = nullptr;  // list
    SpinRange range{};                           // spin
  };
  static std::span<const Control> controls();

  bool create_frame(HINSTANCE instance);
  HMENU create_menu();
  // The Unit menu from the units the last scan saw, each one's holder asked now.
  void rebuild_unit_menu();
  // The Settings menu is enabled while the controls are and the record holds
  // the connected unit's values.
  void update_settings_menu();
  // Whether the record holds the values of a unit connected in normal mode;
  // else `why` says what is missing.
  bool settings_ready(std::string& why) const;
  void show_problem(const std::string& text) const;
  void create_controls();
  void make_button(const Control& c, const hs::TFont& font, const hs::TFont& hot_font);
  void make_spin(const Control& c);
  // The row of the list or spin whose notification this is.
  const Control* row_of(int id, HWND window) const;
  void on_command(int id, int code, HWND control);
  void spin_notice(Spin& spin, int code, ChangeHandler change);

  Spin* spin_of(HWND edit);
  void spin_text_changed(Spin& spin, ChangeHandler change);
  void spin_show(Spin& spin, int value);
  void value_edited(ValueField field, int value);
  hs::THSSpeedButton* button(int n) const;
  hs::THSSpeedButton* panel_button(PanelButton which) const;
  // The buttons' keyboard shortcuts (the message loop offers every key press).
  bool shortcut_key(const MSG& msg);
  hs::THSAccessibleInfo accessible_info(const hs::THSSpeedButton& b) const;
  HWND control_of(ValueField field) const;

  std::unique_ptr<hs::THSButtonHost> host_;
  Spin gain_spin_, delay_spin_, delay_gpi_spin_;
  // The window's active control, kept like a form's ActiveControl: it stays
  // while the window is inactive, and refresh leaves it as it is.
  HWND active_control_ = nullptr;
  bool handlers_attached_ = true;
  bool bound_ = false;
  bool controls_enabled_ = false;
  struct UnitChoice {
    std::string serial, path;  // as link_choose_unit takes them; both empty: chooses nothing
    std::string name;          // the unit's name in messages
  };
  std::vector<UnitChoice> unit_choices_;   // one per Unit menu item
};

extern Tfmain* fmain;

// Fills the link's host seams with the two windows (main thread, after both exist).
void install_link_host();
