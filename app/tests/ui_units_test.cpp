// MX_540KTR.exe with two virtual units and two panels sharing them, operated
// from outside: the title names the unit a panel drives, the Unit menu lists
// both units (this panel's checked, the other panel's greyed) and takes a free
// one, and the Settings menu saves the unit's settings to a file and loads them
// back through the file dialogs, refusing a file that does not fit.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "uidriver.h"

using namespace uidriver;
using std::chrono::milliseconds;
using Record = std::array<uint8_t, 29>;

namespace {

std::wstring title_of(const char* serial) { return std::wstring(L"MX-540KTR \u2014 ") + std::wstring(serial, serial + std::strlen(serial)); }

std::string hex(const Record& r) {
  std::string text;
  char two[3];
  for (uint8_t b : r) {
    std::snprintf(two, sizeof two, "%02X", b);
    text += two;
  }
  return text;
}

class Units : public ::testing::Test {
protected:
  void SetUp() override {
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    SetEnvironmentVariableW(L"MX540_VIRTUAL_UNITS", L"2");
  }
  void TearDown() override {
    second.reset();
    first.reset();
    SetEnvironmentVariableW(L"MX540_VIRTUAL_UNITS", nullptr);
  }

  // A panel over the shared units, placed side by side with the other one so
  // that each shows whole on the screen.
  std::unique_ptr<App> start_panel(const char* name, int left) {
    auto app = std::make_unique<App>(base / name, base / "units");
    EXPECT_TRUE(app->start()) << name << ": fmain and fu did not appear";
    SetWindowPos(app->fmain(), HWND_TOP, left, 40, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    return app;
  }
  bool shows(App& app, const std::wstring& title, milliseconds timeout = milliseconds(15000)) {
    return wait_until([&] { return text_of(app.fmain()) == title; }, timeout);
  }
  // Connected and the settings read: the panel's controls are enabled.
  static bool enabled(App& app) {
    HWND panel = find_child(app.fmain(), panel_class);
    return panel && IsWindowEnabled(panel) && IsWindowEnabled(find_child_by_id(panel, id_gain));
  }

  // The Unit menu opened from the keyboard, as the screen shows it, and closed again.
  std::vector<MenuRow> unit_menu(App& app, bool close = true) {
    real_click(app.fmain(), 5, 5);   // activates the panel: the keys go to it
    wait_until([&] { return active_of(app.fmain()) == app.fmain(); }, milliseconds(3000));
    auto rows = popup_menu_rows(app.pid(), [] { press_keys({VK_MENU, 'U'}); });
    if (close) {
      press_keys({VK_ESCAPE});
      press_keys({VK_ESCAPE});
      wait_until([&] { return !find_top_window(app.pid(), L"#32768", nullptr, true); }, milliseconds(3000));
    }
    return rows;
  }

  static long writes_in(const VirtualDevice& unit) {
    std::ifstream log(unit.dir() / "frames.log");
    long n = 0;
    for (std::string line; std::getline(log, line);) n += line.find(" cmd=0x80 ") != std::string::npos;
    return n;
  }
  static long reads_in(const VirtualDevice& unit) {
    std::ifstream log(unit.dir() / "frames.log");
    long n = 0;
    for (std::string line; std::getline(log, line);) n += line.find(" cmd=0x00 ") != std::string::npos;
    return n;
  }

  // A click on preset button `n` (0-3) of `app`, until `unit` holds it as the active preset.
  static bool preset_reaches(App& app, VirtualDevice& unit, int n) {
    static constexpr POINT centre[4] = {{58, 42}, {153, 42}, {58, 93}, {153, 93}};
    const int dpi = [] {
      HDC dc = GetDC(nullptr);
      const int v = GetDeviceCaps(dc, LOGPIXELSY);
      ReleaseDC(nullptr, dc);
      return v;
    }();
    return wait_until(
        [&] {
          click_at(app.fmain(), MulDiv(centre[n].x, dpi, 96), MulDiv(centre[n].y, dpi, 96));
          return unit.wait_settings([&](const Record& d) { return d[0] == n; }, milliseconds(1500));
        },
        milliseconds(20000));
  }

  const std::filesystem::path base =
      own_folder() / "ui_units_runs" / ::testing::UnitTest::GetInstance()->current_test_info()->name();
  VirtualDevice unit1{base / "units"}, unit2{base / "units" / "unit2"};
  std::unique_ptr<App> first, second;
};

TEST_F(Units, TitleNamesTheUnitAndFollowsBootModeAndUnplugging) {
  first = start_panel("first", 20);
  ASSERT_TRUE(shows(*first, title_of("VX540K-000001")));
  second = start_panel("second", 420);
  ASSERT_TRUE(shows(*second, title_of("VX540K-000002")));
  ASSERT_TRUE(wait_until([&] { return enabled(*second); }));
  const auto bar_enabled = menu_bar_pixels(second->fmain());

  // The Settings menu greys with the controls (no unit, boot mode) and comes back with them.
  EXPECT_EQ(unit2.command("boot"), "ok");
  EXPECT_TRUE(shows(*second, title_of("VX540K-000002") + L" (boot)"));
  EXPECT_TRUE(wait_until([&] { return menu_bar_pixels(second->fmain()) != bar_enabled; }));
  EXPECT_EQ(unit2.command("normal"), "ok");
  EXPECT_TRUE(shows(*second, title_of("VX540K-000002")));
  EXPECT_TRUE(wait_until([&] { return menu_bar_pixels(second->fmain()) == bar_enabled; }));
  EXPECT_EQ(unit2.command("unplug"), "ok");
  EXPECT_TRUE(shows(*second, L"MX-540KTR \u2014 no unit"));
  EXPECT_TRUE(wait_until([&] { return menu_bar_pixels(second->fmain()) != bar_enabled; }));
  EXPECT_EQ(unit2.command("plug"), "ok");
  EXPECT_TRUE(shows(*second, title_of("VX540K-000002")));
  EXPECT_TRUE(wait_until([&] { return menu_bar_pixels(second->fmain()) == bar_enabled; }));
  EXPECT_EQ(text_of(first->fmain()), title_of("VX540K-000001"));
}

TEST_F(Units, UnitMenuListsBothGreysTheOtherPanelsAndTakesAFreeOne) {
  first = start_panel("first", 20);
  ASSERT_TRUE(shows(*first, title_of("VX540K-000001")));
  second = start_panel("second", 420);
  ASSERT_TRUE(shows(*second, title_of("VX540K-000002")));

  // Each panel's menu: both units, its own checked (its mark left of the
  // text), the other panel's greyed.
  for (auto [app, own] : {std::pair{first.get(), 0}, std::pair{second.get(), 1}}) {
    const auto rows = unit_menu(*app);
    ASSERT_EQ(rows.size(), 2u) << "panel " << own + 1;
    const MenuRow &mine = rows[own], &other = rows[1 - own];
    EXPECT_FALSE(mine.grey) << "panel " << own + 1;
    EXPECT_TRUE(other.grey) << "panel " << own + 1;
    EXPECT_LT(mine.ink_left + 4, other.ink_left) << "panel " << own + 1 << ": no check mark before its own unit";
  }

  // A unit another panel holds is not taken, also when asked for by its command.
  PostMessageW(first->fmain(), WM_COMMAND, MAKEWPARAM(menu_unit_first + 1, 0), 0);
  auto box = wait_message_box(first->pid());
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->text, L"The unit VX540K-000002 is held by MX_540KTR.exe.");
  answer_message_box(*box, IDOK);
  EXPECT_EQ(text_of(first->fmain()), title_of("VX540K-000001"));

  // The second panel ends: the first takes unit 2 from its menu, and its next
  // edit reaches unit 2 alone.
  second->stop();
  ASSERT_TRUE(wait_until([&] { return enabled(*first); }));
  unit_menu(*first, false);
  press_keys({VK_DOWN});
  press_keys({VK_RETURN});
  ASSERT_TRUE(shows(*first, title_of("VX540K-000002")));
  const long unit1_writes = writes_in(unit1), unit2_writes = writes_in(unit2);
  ASSERT_TRUE(preset_reaches(*first, unit2, 3));
  EXPECT_GT(writes_in(unit2), unit2_writes);
  EXPECT_EQ(writes_in(unit1), unit1_writes);
  EXPECT_NE(unit1.settings().value_or(Record{})[0], 3);

  // Unit 1 was given back: a new panel takes it.
  second = start_panel("third", 420);
  EXPECT_TRUE(shows(*second, title_of("VX540K-000001")));
}

TEST_F(Units, SettingsSavedToAFileAndLoadedBackAndFilesThatDoNotFitChangeNothing) {
  Record saved{};
  saved[0] = 2;
  for (int p = 0; p < 4; ++p) {   // lr, src, gain, ref, scale, delay, gpi of each preset
    saved[1 + p] = static_cast<uint8_t>((p + 1) % 4);
    saved[5 + p] = static_cast<uint8_t>(p + 2);
    saved[9 + p] = static_cast<uint8_t>(-3 * p - 1);
    saved[13 + p] = static_cast<uint8_t>(4 + 5 * p);
    saved[17 + p] = static_cast<uint8_t>((p + 1) % 3);
    saved[21 + p] = static_cast<uint8_t>(3 + p);
    saved[25 + p] = static_cast<uint8_t>(10 + p);
  }
  unit1.leave_command("settings " + hex(saved));
  first = start_panel("first", 20);
  ASSERT_TRUE(shows(*first, title_of("VX540K-000001")));
  ASSERT_TRUE(wait_until([&] { return enabled(*first) && unit1.settings() == saved; }));

  const auto file = base / "unit1.json";
  PostMessageW(first->fmain(), WM_COMMAND, MAKEWPARAM(menu_save_settings, 0), 0);
  ASSERT_TRUE(answer_file_dialog(first->pid(), file.wstring()));
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(file); }));
  std::ifstream in(file);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find("\"serial\": \"VX540K-000001\""), std::string::npos) << text;

  // The unit changes; loading the file gives back the same 29 bytes.
  Record changed = saved;
  changed[0] = 0;
  changed[9] = 7;
  EXPECT_EQ(unit1.command("settings " + hex(changed)), "ok");
  PostMessageW(first->fmain(), WM_COMMAND, MAKEWPARAM(menu_load_settings, 0), 0);
  ASSERT_TRUE(answer_file_dialog(first->pid(), file.wstring()));
  EXPECT_TRUE(unit1.wait_settings([&](const Record& r) { return r == saved; }));

  // Files that do not fit are refused with the field named, before anything is written.
  struct Case {
    const char* field;
    std::string from, to;
  } const cases[] = {
      {"model", "\"model\": \"MX-540KTR\"", "\"model\": \"MX-999\""},
      {"active", "\"active\": 3", "\"active\": 9"},
  };
  for (const Case& c : cases) {
    std::string bad = text;
    const size_t at = bad.find(c.from);
    ASSERT_NE(at, std::string::npos) << c.field;
    bad.replace(at, c.from.size(), c.to);
    const auto bad_file = base / (std::string(c.field) + ".json");
    std::ofstream(bad_file, std::ios::binary) << bad;
    const long writes = writes_in(unit1), reads = reads_in(unit1);
    PostMessageW(first->fmain(), WM_COMMAND, MAKEWPARAM(menu_load_settings, 0), 0);
    ASSERT_TRUE(answer_file_dialog(first->pid(), bad_file.wstring())) << c.field;
    auto box = wait_message_box(first->pid());
    ASSERT_TRUE(box.has_value()) << c.field;
    EXPECT_NE(box->text.find(L"field " + std::wstring(c.field, c.field + std::strlen(c.field))), std::wstring::npos)
        << c.field;
    EXPECT_NE(box->text.find(L"Nothing was changed."), std::wstring::npos) << c.field;
    answer_message_box(*box, IDOK);
    // The next poll has gone out, and still no write.
    EXPECT_TRUE(wait_until([&] { return reads_in(unit1) > reads; }));
    EXPECT_EQ(writes_in(unit1), writes) << c.field;
    EXPECT_EQ(unit1.settings(), saved) << c.field;
  }
}

}  // namespace
