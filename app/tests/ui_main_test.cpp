// MX_540KTR.exe against the virtual MX-540KTR, operated from outside through
// window messages: start-up and discovery, the values shown, the edits that
// reach the device (also a slow one, and across device-change messages),
// refresh and focus, unplug and replug, the About box; the time from a click
// to the device; and through real input and an accessibility client: the
// buttons' keyboard shortcuts, their accessible objects and their tooltips.
// Two panels over two units: the title names each one's unit, the Unit menu
// lists both and takes a free one, the Settings menu saves and loads a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

#include "uidriver.h"

#include <dbt.h>   // after windows.h, which uidriver.h brings
#include <commctrl.h>
#include <oleacc.h>

using namespace uidriver;
using std::chrono::milliseconds;
using Record = std::array<uint8_t, 29>;

namespace {


// Field offsets of the settings record: preset, then lr, src, gain, ref, scale, delay, delay_gpi.
constexpr int lr_at = 1, src_at = 5, gain_at = 9, ref_at = 13, scale_at = 17, delay_at = 21, gpi_at = 25;

std::string hex(const Record& r) {
  std::string text;
  char two[3];
  for (uint8_t b : r) {
    std::snprintf(two, sizeof two, "%02X", b);
    text += two;
  }
  return text;
}

// A record with a different value in every field of every preset.
Record sample_record(uint8_t preset) {
  Record r{};
  r[0] = preset;
  for (int p = 0; p < 4; ++p) {
    r[lr_at + p] = static_cast<uint8_t>((p + 1) % 4);   // 1, 2, 3, 0
    r[src_at + p] = static_cast<uint8_t>(p + 2);
    r[gain_at + p] = static_cast<uint8_t>(static_cast<int8_t>(-3 * p - 1));
    r[ref_at + p] = static_cast<uint8_t>(4 + 5 * p);
    r[scale_at + p] = static_cast<uint8_t>((p + 1) % 3);
    r[delay_at + p] = static_cast<uint8_t>(3 + p);
    r[gpi_at + p] = static_cast<uint8_t>(10 + p);
  }
  return r;
}

int scaled(int layout) {
  static const int dpi = [] {
    HDC dc = GetDC(nullptr);
    int v = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return v;
  }();
  return MulDiv(layout, dpi, 96);
}

struct ButtonPlace {
  int left, top, width, height;
};
constexpr ButtonPlace b_place[4] = {{20, 20, 77, 45}, {115, 20, 77, 45}, {20, 71, 77, 45}, {115, 71, 77, 45}};
constexpr ButtonPlace lb_place{214, 20, 40, 45}, rb_place{214, 71, 40, 45};

enum class Hue { chrome, green, red, gold, other };
const char* name(Hue h) {
  switch (h) {
    case Hue::chrome: return "chrome";
    case Hue::green: return "green";
    case Hue::red: return "red";
    case Hue::gold: return "gold";
    default: return "other";
  }
}

class MainWindow : public ::testing::Test {
protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    app = std::make_unique<App>(own_folder() / "ui_main_runs" / info->name());
  }
  void TearDown() override { app.reset(); }

  // Starts the program; `commands` run on the device before the program sees it.
  void start(std::initializer_list<std::string> commands = {}) {
    for (const auto& c : commands) app->device().leave_command(c);
    ASSERT_TRUE(app->start()) << "fmain and fu did not appear";
    fmain = app->fmain();
    pnl1 = find_child(fmain, panel_class);
    ASSERT_NE(pnl1, nullptr);
    src = find_child_by_id(pnl1, id_src);
    gain = find_child_by_id(pnl1, id_gain);
    ref = find_child_by_id(pnl1, id_ref);
    delay = find_child_by_id(pnl1, id_delay);
    delay_gpi = find_child_by_id(pnl1, id_delay_gpi);
    scale = find_child_by_id(pnl1, id_scale);
    ASSERT_TRUE(src && gain && ref && delay && delay_gpi && scale);
  }

  // Every control enabled. One plug brings several device-change messages, each a
  // rescan that disables and re-enables the window, so the state must hold a while.
  bool connected() const {
    auto all_enabled = [&] {
      for (HWND c : {pnl1, src, gain, ref, delay, delay_gpi, scale})
        if (!IsWindowEnabled(c)) return false;
      return true;
    };
    if (!all_enabled()) return false;
    std::this_thread::sleep_for(milliseconds(300));
    return all_enabled();
  }

  bool all_disabled() const {
    for (HWND c : {pnl1, src, gain, ref, delay, delay_gpi, scale})
      if (IsWindowEnabled(c)) return false;
    return true;
  }

  // Waits until the window shows what `r` holds for its active preset.
  bool wait_shown(const Record& r, HWND except = nullptr, milliseconds timeout = milliseconds(8000)) {
    const int p = r[0];
    return wait_until(
        [&] {
          return (except == src || chosen_item(src) == (r[src_at + p] & 7)) &&
                 (except == gain || text_of(gain) == std::to_wstring(static_cast<int8_t>(r[gain_at + p]))) &&
                 (except == ref || chosen_item(ref) == r[ref_at + p]) &&
                 (except == delay || text_of(delay) == std::to_wstring(std::min(r[delay_at + p] * 10, 170))) &&
                 (except == delay_gpi || text_of(delay_gpi) == std::to_wstring(r[gpi_at + p] * 10)) &&
                 (except == scale || chosen_item(scale) == r[scale_at + p]);
        },
        timeout);
  }

  // The face colour of a colour-style button, sampled away from its caption.
  Hue hue(const ButtonPlace& b) const {
    const COLORREF c = pixel_at(fmain, scaled(b.left + 6), scaled(b.top + b.height * 4 / 5));
    const int r = GetRValue(c), g = GetGValue(c), bl = GetBValue(c);
    if (std::abs(r - g) < 24 && std::abs(g - bl) < 24) return Hue::chrome;
    if (g > r + 60 && g > bl + 60) return Hue::green;
    if (r > g + 60 && r > bl + 60) return Hue::red;
    if (r > bl + 60 && g > bl + 60) return Hue::gold;
    return Hue::other;
  }

  bool wait_hue(const ButtonPlace& b, Hue expect, milliseconds timeout = milliseconds(6000)) {
    return wait_until([&] { return hue(b) == expect; }, timeout);
  }

  void click(const ButtonPlace& b, Mouse m = Mouse::left) {
    click_at(fmain, scaled(b.left + b.width / 2), scaled(b.top + b.height / 2), m);
  }

  // The device's record as its state folder has it. The device replaces the
  // file now and then, and a read that meets the replacement finds no file:
  // that is no reading, not a different record, so it is read again.
  Record device_record() {
    std::optional<Record> record;
    wait_until([&] { return (record = app->device().settings()).has_value(); }, milliseconds(2000));
    return record.value_or(Record{});
  }

  long frames_received() {
    const std::string n = app->device().state("frames_received");
    return n.empty() ? -1 : std::stol(n);
  }

  // Waits until `holds`, then until the device has taken `frames` more frames
  // (the poll, and whatever the program still had to send), and tells whether
  // it held all along: a late write of an older record would undo it.
  ::testing::AssertionResult settles(const std::function<bool()>& holds, int frames = 2) {
    if (!wait_until(holds, settle_time)) return ::testing::AssertionFailure() << "never held";
    const long seen = frames_received();
    bool undone = false;
    wait_until([&] { return (undone = !holds()) || frames_received() >= seen + frames; }, settle_time);
    if (undone) return ::testing::AssertionFailure() << "held, then no longer";
    if (frames_received() < seen + frames) return ::testing::AssertionFailure() << "the device took no more frames";
    return ::testing::AssertionSuccess();
  }

  // Posts what Windows sends to the HID library's hidden window when devices
  // come or go; the library rescans on each.
  void post_device_change(int times) {
    HWND library = find_top_window(app->pid(), L"TPUtilWindow", nullptr);
    ASSERT_NE(library, nullptr);
    for (int i = 0; i < times; ++i) PostMessageW(library, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  }

  // Pixels of a button's face below its caption: at rest they show the colour
  // style's fill, pressed the white of ColorWhenDown.
  using Face = std::array<COLORREF, 3>;
  Face face(const ButtonPlace& b) const {
    const POINT at[] = {{6, b.height * 4 / 5}, {b.width / 2, b.height - 5}, {b.width - 7, b.height * 2 / 3}};
    Face f{};
    for (size_t i = 0; i < f.size(); ++i) f[i] = pixel_at(fmain, scaled(b.left + at[i].x), scaled(b.top + at[i].y));
    return f;
  }
  static bool alike(const Face& a, const Face& b) {
    for (size_t i = 0; i < a.size(); ++i)
      for (int shift : {0, 8, 16})
        if (std::abs(int((a[i] >> shift) & 0xFF) - int((b[i] >> shift) & 0xFF)) > 12) return false;
    return true;
  }
  static std::string text(const Face& f) {
    std::string t;
    char one[16];
    for (COLORREF c : f) {
      std::snprintf(one, sizeof one, " %06lX", static_cast<unsigned long>(c));
      t += one;
    }
    return t;
  }

  // The pointer leaves the buttons (a move over the window's bare top corner):
  // the hovered one fades back from its hot-track colour.
  void move_pointer_off_buttons() { PostMessageW(fmain, WM_MOUSEMOVE, 0, MAKELPARAM(scaled(5), scaled(5))); }

  static constexpr milliseconds settle_time{20000};

  std::unique_ptr<App> app;
  HWND fmain = nullptr, pnl1 = nullptr;
  HWND src = nullptr, gain = nullptr, ref = nullptr, delay = nullptr, delay_gpi = nullptr, scale = nullptr;
};

TEST_F(MainWindow, ControlsDisabledUntilTheDeviceIsFoundThenEnabled) {
  start({"unplug"});
  // No device: the first scans find nothing and the controls stay disabled.
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_TRUE(all_disabled());
  EXPECT_EQ(hue(b_place[0]), Hue::chrome);

  EXPECT_EQ(app->device().command("plug"), "ok");
  EXPECT_TRUE(wait_until([&] { return connected(); }));
  for (HWND c : {src, gain, ref, delay, delay_gpi, scale}) EXPECT_TRUE(IsWindowEnabled(c));
}

TEST_F(MainWindow, ShowsTheActivePresetOfTheDevice) {
  Record r = sample_record(2);
  r[src_at + 2] = 13;     // a device source of 8..15 shows as its low three bits
  r[delay_at + 2] = 25;   // 250 ms: beyond the spin box, shown as 170 ms
  start({"settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_until([&] { return chosen_item(src) == 5; }, milliseconds(8000)));
  EXPECT_EQ(text_of(gain), L"-7");
  EXPECT_EQ(chosen_item(ref), 14);
  EXPECT_EQ(text_of(delay), L"170");
  EXPECT_EQ(text_of(delay_gpi), L"120");
  EXPECT_EQ(chosen_item(scale), 0);
  // Preset 3 (b2) active with lr 3: green, L and R green.
  EXPECT_TRUE(wait_hue(b_place[2], Hue::green)) << name(hue(b_place[2]));
  for (int n : {0, 1, 3}) EXPECT_EQ(hue(b_place[n]), Hue::chrome) << "b" << n << " " << name(hue(b_place[n]));
  EXPECT_EQ(hue(lb_place), Hue::green);
  EXPECT_EQ(hue(rb_place), Hue::green);
  // Showing wrote nothing back: the device keeps 13 and 25.
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_EQ(device_record()[src_at + 2], 13);
  EXPECT_EQ(device_record()[delay_at + 2], 25);
  EXPECT_EQ(device_record(), r);
}

TEST_F(MainWindow, PresetButtonClicksReachTheDevice) {
  Record r = sample_record(1);
  start({"settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));
  EXPECT_TRUE(wait_hue(b_place[1], Hue::green));   // preset 1, lr 2
  EXPECT_EQ(hue(lb_place), Hue::chrome);
  EXPECT_EQ(hue(rb_place), Hue::gold);

  // Left click on "4": preset 3 becomes active, no lr changes.
  click(b_place[3]);
  Record expect = r;
  expect[0] = 3;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == expect; }));
  EXPECT_TRUE(wait_shown(expect));
  EXPECT_TRUE(wait_hue(b_place[3], Hue::red));      // preset 3 has lr 0
  EXPECT_EQ(hue(lb_place), Hue::red);
  EXPECT_EQ(hue(b_place[1]), Hue::chrome);

  // Right click on "2" (not active): its lr 2 toggles to 0, preset 3 stays active.
  click(b_place[1], Mouse::right);
  expect[lr_at + 1] = 0;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == expect; }));
  // Right click on the active "4": lr 0 toggles to 3.
  click(b_place[3], Mouse::right);
  expect[lr_at + 3] = 3;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == expect; }));
  EXPECT_TRUE(wait_hue(b_place[3], Hue::green));
  EXPECT_EQ(hue(rb_place), Hue::green);
  // The middle button selects like the left one.
  click(b_place[0], Mouse::middle);
  expect[0] = 0;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == expect; }));
}

TEST_F(MainWindow, ChannelButtonsFollowTheirTable) {
  Record r = sample_record(0);
  r[lr_at + 0] = 2;
  start({"settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));
  struct Step {
    const ButtonPlace* button;
    uint8_t lr;
  } steps[] = {{&lb_place, 3}, {&lb_place, 1}, {&rb_place, 3}, {&rb_place, 2}};
  for (const auto& s : steps) {
    click(*s.button);
    r[lr_at + 0] = s.lr;
    EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; })) << int(s.lr);
  }
  EXPECT_TRUE(wait_hue(rb_place, Hue::gold));
  EXPECT_EQ(hue(lb_place), Hue::chrome);
}

TEST_F(MainWindow, ListChoicesAndSpinValuesReachTheDevice) {
  Record r = sample_record(3);
  start({"settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));

  choose_item(src, 6);
  r[src_at + 3] = 6;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }));
  choose_item(ref, 31);
  r[ref_at + 3] = 31;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }));
  choose_item(scale, 2);
  r[scale_at + 3] = 2;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }));

  set_text(gain, L"-15");
  r[gain_at + 3] = 0xF1;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }));
  set_text(delay, L"35");   // 3.5 steps: to even, 4
  r[delay_at + 3] = 4;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }));
  set_text(delay_gpi, L"25");   // 2.5 steps: 2
  r[gpi_at + 3] = 2;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }));
  // Typed text beyond the range is clamped; text that is no number changes nothing.
  set_text(delay_gpi, L"900");
  r[gpi_at + 3] = 17;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }));
  set_text(gain, L"abc");
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_EQ(device_record(), r);
}

TEST_F(MainWindow, ValueBeingEditedIsNotOverwrittenUntilAPresetButtonTakesTheFocus) {
  Record r = sample_record(0);
  start({"settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));

  focus_by_click(gain);
  set_text(gain, L"9");
  r[gain_at] = 9;
  ASSERT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }));

  // The device changes gain and src behind the program's back; the next refresh
  // shows the new src but leaves gain, which has the focus, alone.
  Record changed = r;
  changed[gain_at] = static_cast<uint8_t>(-4);
  changed[src_at] = 7;
  EXPECT_EQ(app->device().command("settings " + hex(changed)), "ok");
  EXPECT_TRUE(wait_until([&] { return chosen_item(src) == 7; }, milliseconds(8000)));
  std::this_thread::sleep_for(milliseconds(2500));   // one more poll
  EXPECT_EQ(text_of(gain), L"9");

  // A left click on the active preset's button takes the focus away: gain follows again.
  click(b_place[0]);
  EXPECT_TRUE(wait_until([&] { return text_of(gain) == L"-4"; }, milliseconds(8000)));
}

TEST_F(MainWindow, UnplugDisablesAndEmptiesAboutReplugEnables) {
  start();
  ASSERT_TRUE(wait_until([&] { return connected(); }));

  choose_menu(fmain, 1);   // "About"
  auto about = wait_message_box(app->pid());
  ASSERT_TRUE(about.has_value());
  EXPECT_EQ(about->text, L"Model: MX-540KTR\r\nSerial: VX540K-000001\r\nFirmware version: 1.16");
  EXPECT_EQ(about->caption, L"");
  EXPECT_EQ(about->owner, fmain);
  EXPECT_EQ(about->buttons.size(), 1u);
  EXPECT_TRUE(about->info_icon);
  answer_message_box(*about, IDOK);

  EXPECT_EQ(app->device().command("unplug"), "ok");
  EXPECT_TRUE(wait_until([&] { return all_disabled(); }));
  choose_menu(fmain, 1);   // "About"
  about = wait_message_box(app->pid());
  ASSERT_TRUE(about.has_value());
  EXPECT_EQ(about->text, L"Model: \r\nSerial: \r\nFirmware version: ");
  answer_message_box(*about, IDOK);

  EXPECT_EQ(app->device().command("plug"), "ok");
  EXPECT_TRUE(wait_until([&] { return connected(); }));

  // Closing the main window ends the process, whose library threads still run.
  app->stop();
  EXPECT_FALSE(app->running());
  EXPECT_EQ(app->exit_code(), 0u);
}

TEST_F(MainWindow, ClosesAtOnceWhileTheUnitHangsAReport) {
  start();
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  // The next poll's report keeps the library's call busy for 20 s.
  ASSERT_EQ(app->device().command("stall 20000"), "ok");
  ASSERT_TRUE(wait_until([&] { return app->device().state("stall_ms") == "0"; }, milliseconds(8000)));
  const auto closing = std::chrono::steady_clock::now();
  app->stop(milliseconds(15000));
  const auto took = std::chrono::steady_clock::now() - closing;
  EXPECT_FALSE(app->running());
  EXPECT_EQ(app->exit_code(), 0u);
  std::printf("closed %.2f s after WM_CLOSE with a report hanging\n", std::chrono::duration<double>(took).count());
  EXPECT_LT(took, milliseconds(3000));
}

TEST_F(MainWindow, PresetFourOrFiveTouchesNoPreset) {
  Record r = sample_record(1);
  start({"settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));
  ASSERT_TRUE(wait_hue(b_place[1], Hue::green));

  Record odd = r;
  odd[0] = 5;
  EXPECT_EQ(app->device().command("settings " + hex(odd)), "ok");
  // Every preset button turns chrome; L and R and the values stay as they were.
  EXPECT_TRUE(wait_hue(b_place[1], Hue::chrome, milliseconds(8000)));
  EXPECT_EQ(hue(rb_place), Hue::gold);
  EXPECT_TRUE(wait_shown(r));
  // Edits of the value controls and L/R are ignored: nothing reaches the device.
  click(lb_place);
  choose_item(src, 0);
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_EQ(device_record(), odd);
  // A left click names a preset again.
  click(b_place[2]);
  odd[0] = 2;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == odd; }));
}

TEST_F(MainWindow, UnloadableLibraryEndsTheProgramWithAMessage) {
  // A HID_Lib.dll that is not a library: the program uses it as it is and cannot bind.
  {
    FILE* f = _wfopen((app->folder() / "HID_Lib.dll").c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    std::fputs("not a library", f);
    std::fclose(f);
  }
  ASSERT_TRUE(app->start());
  auto box = wait_message_box(app->pid());
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->text, L"USB initialization error!");
  EXPECT_EQ(box->caption, L"");
  EXPECT_EQ(box->owner, app->fu());
  EXPECT_TRUE(box->error_icon);
  EXPECT_EQ(box->buttons, (std::vector<std::wstring>{L"OK", L"Cancel"}));
  answer_message_box(*box, IDCANCEL);
  EXPECT_TRUE(wait_until([&] { return !app->running(); }));
  EXPECT_EQ(app->exit_code(), 0u);
}

TEST_F(MainWindow, WritesItsOwnLibraryWhenNoneIsThere) {
  // Without a HID_Lib.dll in its folder the program writes out the one it
  // carries (the real library) and binds to it: no error, no device, disabled.
  std::filesystem::remove(app->folder() / "HID_Lib.dll");
  ASSERT_TRUE(app->start());
  const auto written = app->folder() / "HID_Lib.dll";
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(written); }));
  auto bytes = [](const std::filesystem::path& f) {
    std::ifstream in(f, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_TRUE(wait_until([&] { return bytes(written) == bytes(own_folder() / "HID_Lib.dll"); }));
  EXPECT_FALSE(wait_message_box(app->pid(), milliseconds(2500)).has_value());
  EXPECT_TRUE(app->running());
  fmain = app->fmain();
  pnl1 = find_child(fmain, panel_class);
  EXPECT_FALSE(IsWindowEnabled(pnl1));
}

TEST_F(MainWindow, KeyboardShortcutsReachTheDeviceAsTheirClicks) {
  Record r = sample_record(1);   // preset 1 active; lr 1, 2, 3, 0
  start({"settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));
  // A user's click into gain activates the window and puts the focus there.
  real_click(gain, 8, scaled(12));
  ASSERT_TRUE(wait_until([&] { return active_of(fmain) == fmain && focus_of(fmain) == gain; }));

  struct Step {
    WORD key;
    bool shift;
    int at;          // the byte of the record the matching click changes
    uint8_t value;
  } steps[] = {
      {'L', false, lr_at + 1, 3},    // L after 2
      {'R', false, lr_at + 1, 2},    // R after 3
      {'1', true, lr_at + 0, 0},     // right click on "1": lr 1 toggles to 0
      {'2', true, lr_at + 1, 0},
      {'3', true, lr_at + 2, 0},
      {'4', true, lr_at + 3, 3},     // 0 toggles to 3
      {'3', false, 0, 2},            // left click on "3": preset 2 active
      {'4', false, 0, 3},
      {'2', false, 0, 1},
      {'1', false, 0, 0},
  };
  for (const auto& step : steps) {
    if (step.shift)
      press_keys({VK_CONTROL, VK_SHIFT, step.key});
    else
      press_keys({VK_CONTROL, step.key});
    r[step.at] = step.value;
    EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == r; }))
        << "Ctrl+" << (step.shift ? "Shift+" : "") << char(step.key);
    // L and R leave the focus in the value control, as their clicks do.
    if (step.key == 'L') {
      EXPECT_EQ(focus_of(fmain), gain);
    }
  }
}

namespace {

// IAccessible's interface id, written out: MinGW's import library gives a thunk.
constexpr IID iid_accessible{0x618736E0, 0x3C3D, 0x11CF, {0x81, 0x0C, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

VARIANT child(LONG id) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = id;
  return v;
}

std::wstring take(BSTR text) {
  std::wstring s = text ? std::wstring(text, SysStringLen(text)) : std::wstring();
  SysFreeString(text);
  return s;
}

// State-change events of the program's windows: (window, object, child).
struct WinEvent {
  HWND hwnd;
  LONG object, child;
};
std::vector<WinEvent> state_changes;

void CALLBACK on_state_change(HWINEVENTHOOK, DWORD, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
  state_changes.push_back({hwnd, object, child});
}

// Out-of-context events arrive as messages of this thread.
void pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

LONG state_of(IAccessible* acc, LONG id) {
  VARIANT state;
  VariantInit(&state);
  if (FAILED(acc->get_accState(child(id), &state)) || state.vt != VT_I4) return -1;
  return state.lVal;
}

}  // namespace

TEST_F(MainWindow, AccessibilityClientSeesAndPressesTheSixButtons) {
  Record r = sample_record(1);   // preset 1 active with lr 2: "2" and R are on
  start({"settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_hue(b_place[1], Hue::green));

  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  IAccessible* acc = nullptr;
  ASSERT_EQ(AccessibleObjectFromWindow(fmain, OBJID_CLIENT, iid_accessible, reinterpret_cast<void**>(&acc)), S_OK);
  ASSERT_NE(acc, nullptr);
  LONG count = 0;
  EXPECT_EQ(acc->get_accChildCount(&count), S_OK);
  EXPECT_EQ(count, 6);

  struct Expect {
    const wchar_t* name;
    const wchar_t* shortcut;
    bool pressed;
    ButtonPlace place;
  } const expect[] = {
      {L"Preset 1", L"Ctrl+1", false, b_place[0]},  {L"Preset 2", L"Ctrl+2", true, b_place[1]},
      {L"Preset 3", L"Ctrl+3", false, b_place[2]},  {L"Preset 4", L"Ctrl+4", false, b_place[3]},
      {L"Left channel", L"Ctrl+L", false, lb_place}, {L"Right channel", L"Ctrl+R", true, rb_place},
  };
  LONG preset3 = 0;
  for (LONG id = 1; id <= count && id <= 6; ++id) {
    const Expect& e = expect[id - 1];
    BSTR text = nullptr;
    acc->get_accName(child(id), &text);
    EXPECT_EQ(take(text), e.name) << id;
    acc->get_accKeyboardShortcut(child(id), &text);
    EXPECT_EQ(take(text), e.shortcut) << id;
    VARIANT role;
    VariantInit(&role);
    EXPECT_EQ(acc->get_accRole(child(id), &role), S_OK);
    EXPECT_EQ(role.vt == VT_I4 ? role.lVal : -1, ROLE_SYSTEM_PUSHBUTTON) << id;
    const LONG state = state_of(acc, id);
    EXPECT_EQ((state & STATE_SYSTEM_PRESSED) != 0, e.pressed) << e.name;
    EXPECT_EQ(state & STATE_SYSTEM_UNAVAILABLE, 0) << e.name;
    // Location: the button's rectangle on the screen.
    LONG left = 0, top = 0, width = 0, height = 0;
    EXPECT_EQ(acc->accLocation(&left, &top, &width, &height, child(id)), S_OK);
    POINT origin{scaled(e.place.left), scaled(e.place.top)};
    ClientToScreen(fmain, &origin);
    EXPECT_EQ(left, origin.x) << e.name;
    EXPECT_EQ(top, origin.y) << e.name;
    EXPECT_EQ(width, scaled(e.place.width)) << e.name;
    EXPECT_EQ(height, scaled(e.place.height)) << e.name;
    if (std::wstring(e.name) == L"Preset 3") preset3 = id;
  }
  ASSERT_NE(preset3, 0);

  // The default action is the left click: preset 3 becomes active on the device,
  // and the next refresh shows it pressed and preset 2 not, with a state-change
  // event for each.
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_STATECHANGE, EVENT_OBJECT_STATECHANGE, nullptr, on_state_change,
                                       app->pid(), 0, WINEVENT_OUTOFCONTEXT);
  EXPECT_NE(hook, nullptr);
  EXPECT_EQ(acc->accDoDefaultAction(child(preset3)), S_OK);
  Record expect_record = r;
  expect_record[0] = 2;
  EXPECT_TRUE(app->device().wait_settings([&](const Record& d) { return d == expect_record; }));
  EXPECT_TRUE(wait_until([&] {
    return (state_of(acc, preset3) & STATE_SYSTEM_PRESSED) && !(state_of(acc, 2) & STATE_SYSTEM_PRESSED);
  }));
  auto event_for = [&](LONG id) {
    for (const WinEvent& e : state_changes)
      if (e.hwnd == fmain && e.object == OBJID_CLIENT && e.child == id) return true;
    return false;
  };
  EXPECT_TRUE(wait_until([&] {
    pump();
    return event_for(preset3) && event_for(2);
  }));
  UnhookWinEvent(hook);

  // Without the device the buttons are unavailable.
  EXPECT_EQ(app->device().command("unplug"), "ok");
  EXPECT_TRUE(wait_until([&] {
    for (LONG id = 1; id <= 6; ++id)
      if (!(state_of(acc, id) & STATE_SYSTEM_UNAVAILABLE)) return false;
    return true;
  }));
  acc->Release();
  CoUninitialize();
}

TEST_F(MainWindow, HoveredButtonShowsItsHintInATooltip) {
  start();
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  move_mouse(fmain, scaled(lb_place.left + lb_place.width / 2), scaled(lb_place.top + lb_place.height / 2));
  HWND tip = nullptr;
  EXPECT_TRUE(wait_until([&] {
    tip = find_top_window(app->pid(), TOOLTIPS_CLASSW, nullptr, true);
    return tip != nullptr;
  }));
  EXPECT_EQ(text_of(tip), L"Select the left channel of the active preset (Ctrl+L)");
  // Away from the buttons the tooltip goes.
  move_mouse(fmain, scaled(140), scaled(124));
  EXPECT_TRUE(wait_until([&] { return !IsWindowVisible(tip); }));
}

TEST_F(MainWindow, LayoutTabOrderAndScreenshot) {
  start({"settings " + hex(sample_record(0))});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_hue(b_place[0], Hue::green));
  EXPECT_EQ(text_of(fmain), L"MX-540KTR \u2014 VX540K-000001");
  RECT client{};
  GetClientRect(fmain, &client);
  EXPECT_EQ(client.right, scaled(274));
  EXPECT_EQ(client.bottom, scaled(365));
  const RECT panel = rect_in(pnl1, fmain);
  EXPECT_EQ(panel.left, scaled(20));
  EXPECT_EQ(panel.top, scaled(130));
  EXPECT_EQ(panel.right - panel.left, scaled(234));
  EXPECT_EQ(panel.bottom - panel.top, scaled(215));
  // Closed drop-down lists are 24 pixels high; the spin boxes (edit and arrows) 69 wide.
  for (HWND list : {src, ref, scale}) {
    const RECT r = rect_in(list, pnl1);
    EXPECT_EQ(r.left, scaled(114));
    EXPECT_EQ(r.right - r.left, scaled(91));
    EXPECT_EQ(r.bottom - r.top, scaled(24));
  }
  const RECT g = rect_in(gain, pnl1);
  EXPECT_EQ(g.left, scaled(114));
  EXPECT_EQ(g.top, scaled(49));
  // Tab walks ref, scale, src, delay, delay_gpi, gain.
  HWND order[] = {ref, scale, src, delay, delay_gpi, gain, ref};
  for (size_t i = 0; i + 1 < std::size(order); ++i)
    EXPECT_EQ(GetNextDlgTabItem(fmain, order[i], FALSE), order[i + 1]) << "after tab stop " << i;

  const auto file = own_folder() / "ui_main_window.bmp";
  ASSERT_TRUE(save_window_bmp(fmain, file));
  std::printf("main window screenshot: %ls\n", file.c_str());
}

// The device takes 300 ms per report, so each typed value finds the previous
// one still on its way: the last one typed is what the device keeps, and what
// the box goes on showing once it gives up the focus and the polls refresh it.
TEST_F(MainWindow, ValuesTypedInQuickSuccessionEndOnASlowDevice) {
  Record r = sample_record(0);
  start({"transfer-us 300000", "settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));

  // Whole values set one after the other, each handled before the next; then
  // keystrokes queued as the keyboard queues them, while the window is still
  // busy with the earlier ones (several rounds: where an edit goes astray
  // depends on how the device's replies and the program's sends interleave).
  struct Round {
    bool keyed;
    std::vector<const wchar_t*> values;
  } const rounds[] = {
      {false, {L"-3", L"-9", L"-12", L"5", L"-7"}}, {true, {L"-2", L"-8", L"11", L"-14", L"-6"}},
      {true, {L"3", L"-10", L"7", L"-1", L"9"}},    {true, {L"14", L"-5", L"2", L"-13", L"1"}},
      {true, {L"-4", L"12", L"-11", L"6", L"-15"}},
  };
  std::wstring last;
  for (const Round& round : rounds) {
    focus_by_click(gain);
    for (const wchar_t* v : round.values) round.keyed ? post_typing(gain, v) : set_text(gain, v);
    last = round.values.back();
    r[gain_at] = static_cast<uint8_t>(std::stoi(last));
    ASSERT_TRUE(settles([&] { return device_record() == r; }, 1))
        << (round.keyed ? "keyed" : "set") << " values ending in " << ::testing::PrintToString(last)
        << ": device holds " << hex(device_record()) << ", expected " << hex(r);
  }
  click(b_place[0]);
  EXPECT_TRUE(settles([&] { return text_of(gain) == last && device_record() == r; }))
      << "gain shows " << ::testing::PrintToString(text_of(gain)) << ", device holds " << hex(device_record());
}

// Preset buttons 2, 3, 4, 1 clicked 250 ms apart while each report takes the
// device 400 ms: the device and the window end on preset 1, and every button
// is drawn up again, as a button at rest.
TEST_F(MainWindow, QuickPresetClicksOnASlowDeviceEndOnTheLastAndLeaveNoButtonDown) {
  Record r = sample_record(2);   // preset 3 active; presets 1 and 3 have lr 1 and 3: green when active
  start({"transfer-us 400000", "settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));
  ASSERT_TRUE(wait_hue(b_place[2], Hue::green));
  ASSERT_EQ(hue(b_place[1]), Hue::chrome);
  const Face green_at_rest = face(b_place[2]), chrome_at_rest = face(b_place[1]);

  const auto t0 = std::chrono::steady_clock::now();
  int k = 0;
  for (int n : {1, 2, 3, 0}) {
    std::this_thread::sleep_until(t0 + milliseconds(250) * k++);
    const ButtonPlace& b = b_place[n];
    post_click_at(fmain, scaled(b.left + b.width / 2), scaled(b.top + b.height / 2));
  }
  r[0] = 0;
  EXPECT_TRUE(settles([&] { return device_record() == r; }))
      << "device holds " << hex(device_record()) << ", expected " << hex(r);
  EXPECT_TRUE(wait_shown(r, nullptr, milliseconds(10000)));
  EXPECT_TRUE(wait_hue(b_place[0], Hue::green, milliseconds(10000))) << name(hue(b_place[0]));

  // Drawn down, a face is white where at rest it shows its colour style.
  move_pointer_off_buttons();
  auto at_rest = [&](int n) {
    const Face f = face(b_place[n]);
    return alike(f, green_at_rest) || alike(f, chrome_at_rest);
  };
  EXPECT_TRUE(wait_until([&] { return at_rest(0) && at_rest(1) && at_rest(2) && at_rest(3); }, milliseconds(10000)));
  for (int n = 0; n < 4; ++n)
    EXPECT_TRUE(at_rest(n)) << "button " << n + 1 << " face" << text(face(b_place[n])) << "; at rest green"
                            << text(green_at_rest) << ", chrome" << text(chrome_at_rest);
}

// Device-change messages (each a rescan of the library) arriving while a value
// is typed, with 300 ms per report: the device ends with the edit, and the
// window shows it.
TEST_F(MainWindow, EditSurvivesDeviceChangeMessages) {
  Record r = sample_record(0);
  start({"transfer-us 300000", "settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));

  struct Round {
    const char* when;
    std::vector<const wchar_t*> values;   // the messages come after the first
    int messages;
  } const rounds[] = {
      {"between two values", {L"-3", L"-9"}, 3},   // as Windows sends three for one plug
      {"right after the only value", {L"4"}, 1},
  };
  for (const Round& round : rounds) {
    ASSERT_TRUE(wait_until([&] { return connected(); })) << round.when;
    focus_by_click(gain);
    set_text(gain, round.values[0]);
    ASSERT_NO_FATAL_FAILURE(post_device_change(round.messages));
    for (size_t i = 1; i < round.values.size(); ++i) set_text(gain, round.values[i]);
    const std::wstring last = round.values.back();
    r[gain_at] = static_cast<uint8_t>(std::stoi(last));
    EXPECT_TRUE(settles([&] { return device_record() == r; }))
        << round.when << ": device holds " << hex(device_record()) << ", expected " << hex(r);
    click(b_place[0]);
    EXPECT_TRUE(settles([&] { return text_of(gain) == last && device_record() == r; }))
        << round.when << ": gain shows " << ::testing::PrintToString(text_of(gain)) << ", device holds "
        << hex(device_record());
  }
}

// Time from a click on a preset button until the device holds the preset, at
// the device's normal 1 ms per report. The device writes its state files every
// 20 ms, which bounds the resolution.
class EditBenchmark : public MainWindow {};

TEST_F(EditBenchmark, ClickToDevice) {
  Record r = sample_record(0);
  start({"transfer-us 1000", "settings " + hex(r)});
  ASSERT_TRUE(wait_until([&] { return connected(); }));
  ASSERT_TRUE(wait_shown(r));

  using clock = std::chrono::steady_clock;
  auto ms = [](clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  std::vector<double> handled, reached;
  constexpr int clicks = 20;
  for (int i = 1; i <= clicks; ++i) {
    const int n = i % 4;
    const clock::time_point t0 = clock::now();
    click(b_place[n]);
    const clock::time_point t1 = clock::now();
    const clock::time_point deadline = t0 + milliseconds(10000);
    std::optional<Record> d;
    while (!((d = app->device().settings()) && (*d)[0] == n) && clock::now() < deadline) Sleep(1);
    ASSERT_TRUE(d && (*d)[0] == n) << "click " << i << " on preset " << n + 1 << " never reached the device";
    handled.push_back(ms(t1 - t0));
    reached.push_back(ms(clock::now() - t0));
  }
  r[0] = clicks % 4;
  EXPECT_EQ(device_record(), r);

  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return (v[v.size() / 2] + v[(v.size() - 1) / 2]) / 2;
  };
  std::printf("preset click under Wine at 1000 us per report, %d clicks: click handled by the window median %.1f ms, "
              "worst %.1f ms; click to the device holding the preset median %.1f ms, worst %.1f ms (state files "
              "every 20 ms)\n",
              clicks, median(handled), *std::max_element(handled.begin(), handled.end()), median(reached),
              *std::max_element(reached.begin(), reached.end()));
}


// Two panels over the same virtual units (one device folder, every process
// simulating every unit): each panel drives the unit whose lock it holds and
// names it in its title, a panel that finds every unit held shows no device
// until one is free, and the Unit menu shows who holds which.
class TwoPanels : public ::testing::Test {
protected:
  void SetUp() override {
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
  }
  void TearDown() override {
    second.reset();
    first.reset();
    SetEnvironmentVariableW(L"MX540_VIRTUAL_UNITS", nullptr);
  }

  // Each new panel is placed right of the last one, so that each shows whole.
  std::unique_ptr<App> start_panel(const char* name) {
    auto app = std::make_unique<App>(base / name, base / "units");
    EXPECT_TRUE(app->start()) << name << ": fmain and fu did not appear";
    SetWindowPos(app->fmain(), HWND_TOP, 20 + 400 * (placed++ % 2), 40, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
    return app;
  }

  static std::vector<HWND> controls(HWND fmain) {
    HWND panel = find_child(fmain, panel_class);
    std::vector<HWND> all = {panel};
    for (int id : {id_src, id_gain, id_ref, id_delay, id_delay_gpi, id_scale}) all.push_back(find_child_by_id(panel, id));
    return all;
  }
  static bool all_enabled(HWND fmain) {
    for (HWND c : controls(fmain))
      if (!c || !IsWindowEnabled(c)) return false;
    return true;
  }
  static bool any_enabled(HWND fmain) {
    for (HWND c : controls(fmain))
      if (c && IsWindowEnabled(c)) return true;
    return false;
  }

  // Clicks preset button `n` (0-3) until the unit holds it as the active preset:
  // a click before the panel has heard the unit's settings is replaced by them.
  static bool preset_reaches(App& app, VirtualDevice& unit, int n) {
    const ButtonPlace& b = b_place[n];
    return wait_until(
        [&] {
          click_at(app.fmain(), scaled(b.left + b.width / 2), scaled(b.top + b.height / 2));
          return unit.wait_settings([&](const Record& d) { return d[0] == n; }, milliseconds(1500));
        },
        milliseconds(20000));
  }

  static std::wstring title(const char* unit) {
    return L"MX-540KTR \u2014 " + std::wstring(unit, unit + std::strlen(unit));
  }
  static bool shows(App& app, const std::wstring& text) {
    return wait_until([&] { return text_of(app.fmain()) == text; }, milliseconds(15000));
  }
  // The Unit menu opened from the keyboard, as the screen shows it; closed again unless `keep_open`.
  static std::vector<MenuRow> unit_menu(App& app, bool keep_open = false) {
    real_click(app.fmain(), 5, 5);   // the panel becomes active: the keys go to it
    wait_until([&] { return active_of(app.fmain()) == app.fmain(); }, milliseconds(3000));
    auto rows = popup_menu_rows(app.pid(), [] { press_keys({VK_MENU, 'U'}); });
    if (!keep_open) {
      press_keys({VK_ESCAPE});
      press_keys({VK_ESCAPE});
      wait_until([&] { return !find_top_window(app.pid(), L"#32768", nullptr, true); }, milliseconds(3000));
    }
    return rows;
  }
  // The frames in a unit's frames log, all of them or the settings writes (command 0x80).
  static long logged(const VirtualDevice& unit, const char* only = " cmd=") {
    std::ifstream log(unit.dir() / "frames.log");
    long n = 0;
    for (std::string line; std::getline(log, line);) n += line.find(only) != std::string::npos;
    return n;
  }
  static long writes_in(const VirtualDevice& unit) { return logged(unit, " cmd=0x80 "); }

  const std::filesystem::path base =
      own_folder() / "ui_main_runs" / ::testing::UnitTest::GetInstance()->current_test_info()->name();
  VirtualDevice unit1{base / "units"}, unit2{base / "units" / "unit2"};
  std::unique_ptr<App> first, second;
  int placed = 0;
};

TEST_F(TwoPanels, EachDrivesTheUnitItHoldsAndNamesItInItsTitle) {
  SetEnvironmentVariableW(L"MX540_VIRTUAL_UNITS", L"2");
  first = start_panel("first");
  ASSERT_TRUE(wait_until([&] { return all_enabled(first->fmain()); }));
  second = start_panel("second");
  ASSERT_TRUE(wait_until([&] { return all_enabled(second->fmain()); }));
  EXPECT_EQ(text_of(first->fmain()), title("VX540K-000001"));
  EXPECT_EQ(text_of(second->fmain()), title("VX540K-000002"));

  ASSERT_TRUE(preset_reaches(*first, unit1, 2));
  ASSERT_TRUE(preset_reaches(*second, unit2, 3));
  EXPECT_EQ(unit1.settings().value_or(Record{})[0], 2);
  EXPECT_EQ(unit2.settings().value_or(Record{})[0], 3);
  EXPECT_EQ(unit1.state("serial"), "VX540K-000001");
  EXPECT_EQ(unit2.state("serial"), "VX540K-000002");

  // The title follows boot mode and unplugging; the Settings menu greys
  // meanwhile and comes back as it was.
  const auto bar = menu_bar_pixels(second->fmain());
  struct Step {
    const char* command;
    std::wstring shown;
    bool settings_menu;
  } const steps[] = {{"boot", title("VX540K-000002") + L" (boot)", false},
                     {"normal", title("VX540K-000002"), true},
                     {"unplug", L"MX-540KTR \u2014 no unit", false},
                     {"plug", title("VX540K-000002"), true}};
  for (const Step& step : steps) {
    EXPECT_EQ(unit2.command(step.command), "ok");
    EXPECT_TRUE(shows(*second, step.shown)) << step.command;
    EXPECT_TRUE(wait_until([&] { return (menu_bar_pixels(second->fmain()) == bar) == step.settings_menu; }))
        << step.command;
  }
  EXPECT_EQ(text_of(first->fmain()), title("VX540K-000001"));
}

TEST_F(TwoPanels, UnitMenuListsBothGreysTheOtherPanelsAndTakesAFreeOne) {
  SetEnvironmentVariableW(L"MX540_VIRTUAL_UNITS", L"2");
  first = start_panel("first");
  ASSERT_TRUE(shows(*first, title("VX540K-000001")));
  second = start_panel("second");
  ASSERT_TRUE(shows(*second, title("VX540K-000002")));

  // Both units, the panel's own checked (its mark left of the text), the other panel's greyed.
  for (auto [app, own] : {std::pair{first.get(), 0}, std::pair{second.get(), 1}}) {
    const auto rows = unit_menu(*app);
    ASSERT_EQ(rows.size(), 2u) << "panel " << own + 1;
    const MenuRow &mine = rows[own], &other = rows[1 - own];
    EXPECT_FALSE(mine.grey) << "panel " << own + 1;
    EXPECT_TRUE(other.grey) << "panel " << own + 1;
    EXPECT_LT(mine.ink_left + 4, other.ink_left) << "panel " << own + 1 << ": no check mark before its own unit";
  }

  // The held unit is not taken, also when its command comes anyway.
  PostMessageW(first->fmain(), WM_COMMAND, MAKEWPARAM(menu_unit_first + 1, 0), 0);
  auto box = wait_message_box(first->pid());
  ASSERT_TRUE(box.has_value());
  EXPECT_EQ(box->text, L"The unit VX540K-000002 is held by MX_540KTR.exe.");
  answer_message_box(*box, IDOK);
  EXPECT_EQ(text_of(first->fmain()), title("VX540K-000001"));

  // The second panel ends; the first takes unit 2 from its menu, and its next
  // edit reaches unit 2 alone; unit 1 is free for a new panel.
  second->stop();
  unit_menu(*first, true);
  press_keys({VK_DOWN});
  press_keys({VK_RETURN});
  ASSERT_TRUE(shows(*first, title("VX540K-000002")));
  const long unit2_writes = writes_in(unit2);
  ASSERT_TRUE(preset_reaches(*first, unit2, 3));
  EXPECT_TRUE(wait_until([&] { return writes_in(unit2) > unit2_writes; }));
  EXPECT_EQ(writes_in(unit1), 0);   // no edit was ever made on unit 1
  EXPECT_NE(unit1.settings().value_or(Record{})[0], 3);
  second = start_panel("third");
  EXPECT_TRUE(shows(*second, title("VX540K-000001")));
}

TEST_F(TwoPanels, SettingsSavedToAFileLoadBackAndFilesThatDoNotFitChangeNothing) {
  SetEnvironmentVariableW(L"MX540_VIRTUAL_UNITS", L"2");
  const Record saved = sample_record(2);
  unit1.leave_command("settings " + hex(saved));
  first = start_panel("first");
  ASSERT_TRUE(wait_until([&] { return all_enabled(first->fmain()) && unit1.settings() == saved; }));

  const auto file = base / "unit1.json";
  PostMessageW(first->fmain(), WM_COMMAND, MAKEWPARAM(menu_save_settings, 0), 0);
  ASSERT_TRUE(answer_file_dialog(first->pid(), file.wstring()));
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(file); }));
  std::ifstream in(file);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_NE(text.find("\"serial\": \"VX540K-000001\""), std::string::npos) << text;

  // The unit changes; the file gives back the same 29 bytes.
  EXPECT_EQ(unit1.command("settings " + hex(sample_record(0))), "ok");
  PostMessageW(first->fmain(), WM_COMMAND, MAKEWPARAM(menu_load_settings, 0), 0);
  ASSERT_TRUE(answer_file_dialog(first->pid(), file.wstring()));
  EXPECT_TRUE(unit1.wait_settings([&](const Record& r) { return r == saved; }));
  EXPECT_TRUE(wait_until([&] { return writes_in(unit1) == 1; }));   // the whole record, once

  // Files that do not fit are refused, naming the field, and nothing is written.
  for (auto [field, from, to] : {std::tuple{"model", "\"model\": \"MX-540KTR\"", "\"model\": \"MX-999\""},
                                 std::tuple{"active", "\"active\": 3", "\"active\": 9"}}) {
    std::string bad = text;
    ASSERT_NE(bad.find(from), std::string::npos) << field;
    bad.replace(bad.find(from), std::strlen(from), to);
    std::ofstream(base / "bad.json", std::ios::binary | std::ios::trunc) << bad;
    const long frames = logged(unit1);
    PostMessageW(first->fmain(), WM_COMMAND, MAKEWPARAM(menu_load_settings, 0), 0);
    ASSERT_TRUE(answer_file_dialog(first->pid(), (base / "bad.json").wstring())) << field;
    const auto box = wait_message_box(first->pid());
    ASSERT_TRUE(box.has_value()) << field;
    EXPECT_NE(box->text.find(L"field " + std::wstring(field, field + std::strlen(field))), std::wstring::npos)
        << field;
    EXPECT_NE(box->text.find(L"Nothing was changed."), std::wstring::npos) << field;
    answer_message_box(*box, IDOK);
    EXPECT_TRUE(wait_until([&] { return logged(unit1) > frames; })) << field;   // the next poll went out
    EXPECT_EQ(writes_in(unit1), 1) << field;
    EXPECT_EQ(unit1.settings(), saved) << field;
  }
}

TEST_F(TwoPanels, ASecondPanelWithNoFreeUnitShowsNoDeviceUntilOneIsFree) {
  VirtualDevice unit(base / "units");
  first = start_panel("first");
  ASSERT_TRUE(wait_until([&] { return all_enabled(first->fmain()); }));
  second = start_panel("second");
  // As with no device: nothing enables, while the first panel keeps driving the unit.
  EXPECT_FALSE(wait_until([&] { return any_enabled(second->fmain()); }, milliseconds(3000)));
  ASSERT_TRUE(preset_reaches(*first, unit, 1));
  EXPECT_FALSE(any_enabled(second->fmain()));

  // The first panel closes: at the next device change the second takes the unit.
  first->stop();
  HWND library = find_top_window(second->pid(), L"TPUtilWindow", nullptr);
  ASSERT_NE(library, nullptr);
  PostMessageW(library, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  ASSERT_TRUE(wait_until([&] { return all_enabled(second->fmain()); }));
  EXPECT_TRUE(preset_reaches(*second, unit, 3));
}

}  // namespace
