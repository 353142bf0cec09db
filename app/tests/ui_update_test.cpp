// The firmware update end to end under Wine: the real MX_540KTR.exe against
// the virtual MX-540KTR, driven through its windows like a user would.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "uidriver.h"
#include "vnxu.h"

namespace {

namespace fs = std::filesystem;
using namespace uidriver;
using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

const std::wstring caption = L"Обновление программного обеспечения";
constexpr int cmb1 = 0x470, cmb13 = 0x47C, edt1 = 0x480;

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

Bytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// What the device should hold after an update: the image, padded with 0xFF up
// to the block size, over whatever was there before.
Bytes expected_memory(Bytes before, const Bytes& image) {
  const size_t padded = (image.size() + 511) / 512 * 512;
  std::copy(image.begin(), image.end(), before.begin());
  std::fill(before.begin() + static_cast<std::ptrdiff_t>(image.size()),
            before.begin() + static_cast<std::ptrdiff_t>(padded), uint8_t{0xFF});
  return before;
}

struct Frame {
  unsigned cmd = 0;
  std::string payload;   // hex
  long time_ms = 0;      // the device's clock
};

std::vector<Frame> frames(const VirtualDevice& device) {
  std::vector<Frame> out;
  std::ifstream in(device.dir() / "frames.log");
  for (std::string line; std::getline(in, line);) {
    Frame f;
    const auto c = line.find(" cmd=0x");
    const auto p = line.find(" payload=");
    if (c == std::string::npos) continue;
    f.cmd = static_cast<unsigned>(std::stoul(line.substr(c + 7, 2), nullptr, 16));
    if (const auto t = line.find(" t="); t != std::string::npos) f.time_ms = std::stol(line.substr(t + 3));
    if (p != std::string::npos) f.payload = line.substr(p + 9, line.find(' ', p + 9) - (p + 9));
    out.push_back(f);
  }
  return out;
}

size_t count_cmd(const std::vector<Frame>& log, unsigned cmd) {
  return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const Frame& f) { return f.cmd == cmd; }));
}

LRESULT query(HWND hwnd, UINT msg, WPARAM wp = 0, LPARAM lp = 0) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG, 2000, &result)) return -1;
  return static_cast<LRESULT>(result);
}

// A message box of the program: a #32770 window with the message's static text.
std::optional<MessageBoxInfo> wait_box(DWORD pid, milliseconds timeout) {
  std::optional<MessageBoxInfo> box;
  wait_until(
      [&] {
        box = wait_message_box(pid, milliseconds(0));
        return box && !box->text.empty();
      },
      timeout);
  if (box && box->text.empty()) box.reset();
  return box;
}

// Which standard icon a message box shows, told by its picture (icon handles
// are not comparable across processes under Wine).
LPCWSTR icon_of(HWND box) {
  HWND icon = nullptr;
  for (HWND c = GetWindow(box, GW_CHILD); c && !icon; c = GetWindow(c, GW_HWNDNEXT))
    if (class_of(c) == L"Static" && (GetWindowLongPtrW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) icon = c;
  if (!icon) return nullptr;
  std::this_thread::sleep_for(milliseconds(300));   // painted by now
  return shown_icon(icon);
}

class UpdateSession : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    app_ = std::make_unique<App>(own_folder() / "ui_update" / name);
    // A device whose memories hold zeros, so that the padding shows.
    write_bytes(app_->device().dir() / "flash.bin", Bytes(64 * 1024, 0x00));
    write_bytes(app_->device().dir() / "eeprom.bin", Bytes(4 * 1024, 0x00));
    ASSERT_TRUE(app_->start()) << "program did not start";
    fu_ = app_->fu();
    // fu is found as soon as it exists; its controls follow.
    wait_until(
        [&] {
          select_ = find_child(fu_, L"Button", L"ВЫБРАТЬ ФАЙЛ");
          def_ = find_child(fu_, L"Button", L"Сброс настроек");
          cancel_ = find_child(fu_, L"Button", L"Закрыть");
          pb_ = find_child(fu_, PROGRESS_CLASSW);
          dev_name_ = find_child(fu_, L"Edit");
          return select_ && def_ && cancel_ && pb_ && dev_name_;
        },
        milliseconds(10000));
    ASSERT_TRUE(select_ && def_ && cancel_ && pb_ && dev_name_)
        << "fu " << fu_ << " select " << select_ << " def " << def_ << " cancel " << cancel_ << " pb " << pb_
        << " dev_name " << dev_name_;
  }
  void TearDown() override {
    if (app_) app_->stop();
  }

  // "Update firmware", then wait until the device is in boot mode and
  // "ВЫБРАТЬ ФАЙЛ" is enabled.
  void open_dialog_in_boot_mode() {
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(app_->fmain()) != FALSE; }, milliseconds(20000)));
    // Under Wine another process cannot read the menu bar; the item's command
    // (the first item of fmain's menu) is then posted by its id.
    HMENU bar = GetMenu(app_->fmain());
    if (GetMenuItemCount(bar) > 0) {
      wchar_t item[64] = {};
      GetMenuStringW(bar, 0, item, 64, MF_BYPOSITION);
      ASSERT_EQ(std::wstring(item), L"Update firmware");
      choose_menu(app_->fmain(), 0);
    } else {
      constexpr int id_update_firmware = 101;
      PostMessageW(app_->fmain(), WM_COMMAND, MAKEWPARAM(id_update_firmware, 0), 0);
    }
    ASSERT_TRUE(wait_until([&] { return IsWindowVisible(fu_) != FALSE; }, milliseconds(5000)));
    ASSERT_TRUE(wait_until(
        [&] {
          return text_of(dev_name_).find(L"(boot)") != std::wstring::npos && IsWindowEnabled(select_) &&
                 IsWindowEnabled(def_);
        },
        milliseconds(20000)))
        << "device name: " << narrow(text_of(dev_name_));
    ASSERT_TRUE(wait_until([&] { return app_->device().state("mode") == "boot"; }, milliseconds(10000)));
  }

  fs::path make_file(const std::string& file, const Bytes& bytes) {
    const fs::path path = app_->folder() / file;
    write_bytes(path, bytes);
    return path;
  }

  // Clicks "ВЫБРАТЬ ФАЙЛ" and chooses `path` in the file-open dialog.
  void choose_file(const fs::path& path) {
    // Posted: the click runs the file-open dialog's own modal loop.
    PostMessageW(fu_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(select_), BN_CLICKED), reinterpret_cast<LPARAM>(select_));
    HWND dialog = nullptr, name = nullptr;
    ASSERT_TRUE(wait_until(
        [&] {
          dialog = find_top_window(app_->pid(), L"#32770", nullptr, true);
          if (!dialog) return false;
          name = GetDlgItem(dialog, cmb13);
          if (name && class_of(name) == L"ComboBox") name = find_child(name, L"Edit");
          if (!name) name = GetDlgItem(dialog, edt1);
          return name != nullptr;
        },
        milliseconds(10000)))
        << "no file-open dialog";
    EXPECT_FALSE(IsWindowEnabled(select_));
    EXPECT_FALSE(IsWindowEnabled(def_));
    // One file type, "Update File".
    if (HWND types = GetDlgItem(dialog, cmb1)) {
      EXPECT_EQ(query(types, CB_GETCOUNT), 1);
      wchar_t type[128] = {};
      if (query(types, CB_GETLBTEXTLEN, 0) < 128 && query(types, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(type)) > 0) {
        EXPECT_NE(std::wstring(type).find(L"Update File"), std::wstring::npos) << narrow(type);
      }
    }
    set_text(name, path.wstring());
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    ASSERT_TRUE(wait_until([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, milliseconds(10000)));
  }

  // Progress bar positions seen until a message box shows. `painted` tells
  // whether the screen showed the bar part filled while blocks were written
  // (the window takes no input then, but must keep drawing the bar).
  std::vector<int> watch_progress_until_box(std::optional<MessageBoxInfo>& box, milliseconds timeout,
                                            bool* painted = nullptr) {
    std::vector<int> seen;
    RECT client{};
    GetClientRect(pb_, &client);
    const int y = client.bottom / 2;
    const COLORREF before = pixel_at(pb_, client.right * 10 / 100, y);
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      const int pos = static_cast<int>(query(pb_, PBM_GETPOS));
      if (pos >= 0 && (seen.empty() || seen.back() != pos)) seen.push_back(pos);
      if (painted && !*painted && pos >= 30 && pos <= 80) {
        std::this_thread::sleep_for(milliseconds(5));
        // Filled near the start, unfilled near the end, and changed since the start.
        const COLORREF start = pixel_at(pb_, client.right * 10 / 100, y);
        *painted = start != before && start != pixel_at(pb_, client.right - 3, y);
      }
      box = wait_box(app_->pid(), milliseconds(0));
      if (box) break;
      std::this_thread::sleep_for(milliseconds(3));
    }
    return seen;
  }

  static std::string narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
  }

  void expect_box(const std::optional<MessageBoxInfo>& box, const std::wstring& text, bool error) {
    ASSERT_TRUE(box.has_value()) << "no message box";
    EXPECT_EQ(box->text, text);
    EXPECT_EQ(box->caption, caption);
    EXPECT_EQ(box->owner, fu_);
    EXPECT_EQ(box->buttons.size(), 1u);
    EXPECT_EQ(icon_of(box->hwnd), error ? IDI_ERROR : IDI_INFORMATION);
  }

  // A whole successful update of `flash` and `eeprom`, checked at the device.
  void update_and_check(const fs::path& file, const Bytes& flash, const Bytes& eeprom) {
    const Bytes flash_before = read_bytes(app_->device().dir() / "flash.bin");
    const Bytes eeprom_before = read_bytes(app_->device().dir() / "eeprom.bin");
    const size_t frames_before = frames(app_->device()).size();
    ASSERT_NO_FATAL_FAILURE(choose_file(file));
    std::optional<MessageBoxInfo> box;
    bool painted = false;
    const std::vector<int> seen = watch_progress_until_box(box, milliseconds(60000), &painted);
    expect_box(box, L"Обновление завершено успешно!", false);
    EXPECT_TRUE(painted) << "the progress bar was not drawn part filled during the update";
    // The bar rose through the update: some value strictly between the ends.
    EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [](int p) { return p > 0 && p < 100; }))
        << "positions seen: " << ::testing::PrintToString(seen);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << ::testing::PrintToString(seen);
    // Finishing: moving bar, buttons disabled, and the dialog stays until the
    // message is dismissed.
    EXPECT_NE(GetWindowLongPtrW(pb_, GWL_STYLE) & PBS_MARQUEE, 0);
    EXPECT_FALSE(IsWindowEnabled(select_));
    EXPECT_FALSE(IsWindowEnabled(def_));
    // fmain minimised and restored meanwhile: Windows hides fu with it and then
    // tells fu its owner is opening. That is no new showing of the dialog, and
    // the finishing state must survive it.
    query(fu_, WM_SHOWWINDOW, FALSE, SW_PARENTCLOSING);
    query(fu_, WM_SHOWWINDOW, TRUE, SW_PARENTOPENING);
    EXPECT_NE(GetWindowLongPtrW(pb_, GWL_STYLE) & PBS_MARQUEE, 0) << "owner restored: the bar stopped moving";
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_TRUE(IsWindowVisible(fu_));
    ASSERT_TRUE(answer_message_box(*box, IDOK));
    ASSERT_TRUE(wait_until([&] { return !IsWindowVisible(fu_); }, milliseconds(5000))) << "dialog did not close";
    // The main window comes back, and with the device back in normal mode its
    // controls are enabled again.
    ASSERT_TRUE(wait_until(
        [&] {
          HWND list = find_child(app_->fmain(), L"ComboBox");
          return IsWindowEnabled(app_->fmain()) && list && IsWindowEnabled(list);
        },
        milliseconds(15000)))
        << "main window not enabled";
    ASSERT_TRUE(wait_until([&] { return app_->device().state("mode") == "normal"; }, milliseconds(5000)));

    EXPECT_EQ(read_bytes(app_->device().dir() / "flash.bin"), expected_memory(flash_before, flash));
    EXPECT_EQ(read_bytes(app_->device().dir() / "eeprom.bin"), expected_memory(eeprom_before, eeprom));
    auto log = frames(app_->device());
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(frames_before, log.size())));
    const size_t flash_blocks = (flash.size() + 511) / 512, eeprom_blocks = (eeprom.size() + 511) / 512;
    EXPECT_EQ(count_cmd(log, 0xF0), flash_blocks);
    EXPECT_EQ(count_cmd(log, 0xF1), flash_blocks);
    EXPECT_EQ(count_cmd(log, 0xF3), eeprom_blocks);
    EXPECT_EQ(count_cmd(log, 0xFA), 1u);
  }

  std::unique_ptr<App> app_;
  HWND fu_ = nullptr, select_ = nullptr, def_ = nullptr, cancel_ = nullptr, pb_ = nullptr, dev_name_ = nullptr;
};

TEST_F(UpdateSession, WholeUpdateReachesTheDevice) {
  ASSERT_NO_FATAL_FAILURE(open_dialog_in_boot_mode());
  // The device says "MX-540KTR (boot)": the blank before "(boot)" stays.
  const Bytes flash = random_bytes(6000, 1), eeprom = random_bytes(700, 2);
  ASSERT_NO_FATAL_FAILURE(update_and_check(make_file("good.vnxu", make_vnxu_file("MX-540KTR ", 2, 3, flash, eeprom)), flash, eeprom));
}

TEST_F(UpdateSession, FilesThatDoNotFitAreRefusedAndNothingIsSent) {
  ASSERT_NO_FATAL_FAILURE(open_dialog_in_boot_mode());
  // Wine's progress bar answers PBM_SETSTATE but keeps no state; the error
  // state can be checked only where the bar keeps it.
  query(pb_, PBM_SETSTATE, PBST_ERROR);
  const bool states_kept = query(pb_, PBM_GETSTATE) == PBST_ERROR;
  query(pb_, PBM_SETSTATE, PBST_NORMAL);
  if (!states_kept) std::printf("note: this progress bar keeps no state; its error state is not checked\n");
  const Bytes flash = random_bytes(3000, 3);
  Bytes truncated = make_vnxu_file("MX-540KTR ", 1, 0, flash, {});
  truncated.resize(truncated.size() - 5);
  const struct {
    const char* file;
    Bytes bytes;
  } cases[] = {
      {"other-model.vnxu", make_vnxu_file("MX-999 ", 1, 0, flash, {})},
      {"no-blank.vnxu", make_vnxu_file("MX-540KTR", 1, 0, flash, {})},
      {"truncated.vnxu", truncated},
      {"empty.vnxu", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_NO_FATAL_FAILURE(choose_file(make_file(c.file, c.bytes)));
    auto box = wait_box(app_->pid(), milliseconds(10000));
    expect_box(box, L"Неверный файл!", true);
    // The bar shows its error state while the message is up.
    const LRESULT state = query(pb_, PBM_GETSTATE);
    if (states_kept) {
      EXPECT_EQ(state, PBST_ERROR);
    }
    ASSERT_TRUE(answer_message_box(*box, IDOK));
    if (states_kept) {
      EXPECT_TRUE(wait_until([&] { return query(pb_, PBM_GETSTATE) == PBST_NORMAL; }, milliseconds(10000)));
    }
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(select_) && IsWindowEnabled(def_); }, milliseconds(10000)));
  }
  // Still waiting in the boot loader, and not one update command arrived.
  std::this_thread::sleep_for(milliseconds(300));
  const auto log = frames(app_->device());
  for (unsigned cmd : {0xF0u, 0xF1u, 0xF3u, 0xFAu}) EXPECT_EQ(count_cmd(log, cmd), 0u) << std::hex << cmd;
  EXPECT_TRUE(IsWindowVisible(fu_));
}

TEST_F(UpdateSession, DeviceRefusingReportsMidwayStopsTheUpdate) {
  ASSERT_NO_FATAL_FAILURE(open_dialog_in_boot_mode());
  const Bytes flash = random_bytes(4000, 4), eeprom = random_bytes(600, 5);
  const fs::path file = make_file("good.vnxu", make_vnxu_file("MX-540KTR ", 3, 1, flash, eeprom));
  // Reports 1-20 are the first two erases and blocks; the 25th lies inside the
  // third block, at address 1024.
  ASSERT_EQ(app_->device().command("refuse-from 25"), "ok");
  ASSERT_NO_FATAL_FAILURE(choose_file(file));
  auto box = wait_box(app_->pid(), milliseconds(20000));
  expect_box(box, L"Ошибка обновления. Повторите попытку.", true);
  // Let the device take reports again before the message goes: anything the
  // program sent after the failure would now arrive.
  ASSERT_EQ(app_->device().command("refuse-from 0"), "ok");
  ASSERT_TRUE(answer_message_box(*box, IDOK));
  EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(select_) && IsWindowEnabled(def_); }, milliseconds(10000)));
  std::this_thread::sleep_for(milliseconds(600));
  auto log = frames(app_->device());
  EXPECT_EQ(count_cmd(log, 0xF1), 2u);
  EXPECT_EQ(count_cmd(log, 0xF3), 0u);
  EXPECT_EQ(count_cmd(log, 0xFA), 0u);
  EXPECT_TRUE(IsWindowVisible(fu_));

  // The user chooses the file again and the update goes through.
  ASSERT_NO_FATAL_FAILURE(update_and_check(file, flash, eeprom));
}

TEST_F(UpdateSession, SettingsResetAndClose) {
  ASSERT_NO_FATAL_FAILURE(open_dialog_in_boot_mode());
  PostMessageW(fu_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(def_), BN_CLICKED), reinterpret_cast<LPARAM>(def_));
  auto box = wait_box(app_->pid(), milliseconds(10000));
  expect_box(box, L"Настройки сброшены!", false);
  ASSERT_TRUE(answer_message_box(*box, IDOK));
  EXPECT_EQ(count_cmd(frames(app_->device()), 0xFD), 1u);
  EXPECT_TRUE(IsWindowEnabled(select_) && IsWindowEnabled(def_));

  // In boot mode the timer asks for it no more.
  const size_t boot_requests = count_cmd(frames(app_->device()), 0xFB);
  EXPECT_GE(boot_requests, 1u);
  std::this_thread::sleep_for(milliseconds(700));
  EXPECT_EQ(count_cmd(frames(app_->device()), 0xFB), boot_requests);

  // "Закрыть" tells the boot loader to go back and closes the dialog.
  PostMessageW(fu_, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(cancel_), BN_CLICKED), reinterpret_cast<LPARAM>(cancel_));
  ASSERT_TRUE(wait_until([&] { return !IsWindowVisible(fu_); }, milliseconds(5000)));
  EXPECT_TRUE(wait_until([&] { return count_cmd(frames(app_->device()), 0xFC) == 1; }, milliseconds(3000)));
  EXPECT_TRUE(wait_until([&] { return app_->device().state("mode") == "normal"; }, milliseconds(5000)));
  EXPECT_EQ(count_cmd(frames(app_->device()), 0xF1), 0u);
  // Hidden, the dialog posts no boot request although the device is in normal mode.
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_EQ(count_cmd(frames(app_->device()), 0xFB), boot_requests);
}

TEST_F(UpdateSession, ClosingWithAltF4LeavesTheBootLoaderLikeTheCloseButton) {
  ASSERT_NO_FATAL_FAILURE(open_dialog_in_boot_mode());
  // Alt+F4 reaches the window as WM_CLOSE.
  PostMessageW(fu_, WM_CLOSE, 0, 0);
  ASSERT_TRUE(wait_until([&] { return !IsWindowVisible(fu_); }, milliseconds(5000)));
  EXPECT_TRUE(wait_until([&] { return count_cmd(frames(app_->device()), 0xFC) == 1; }, milliseconds(3000)));
  EXPECT_TRUE(wait_until([&] { return app_->device().state("mode") == "normal"; }, milliseconds(5000)));
  EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(app_->fmain()) != FALSE; }, milliseconds(10000)));
}

}  // namespace

namespace {

// The largest update a file can carry with a 4 KiB EEPROM image (its record
// area holds at most 247 full records, so 231 x 256 bytes of flash) through
// the real program, no erase time. Figures: the device-bound minimum (reports
// x the transfer time), the span from the first to the last update frame at
// the device, and the time from the file choice to the success message.
class UpdateBenchmark : public UpdateSession {
 protected:
  void run(unsigned transfer_us) {
    ASSERT_NO_FATAL_FAILURE(open_dialog_in_boot_mode());
    ASSERT_EQ(app_->device().command("erase-us 0"), "ok");
    ASSERT_EQ(app_->device().command("transfer-us " + std::to_string(transfer_us)), "ok");
    const Bytes flash = random_bytes(231 * 256, 11), eeprom = random_bytes(4 * 1024, 12);
    const fs::path file = make_file("big.vnxu", make_vnxu_file("MX-540KTR ", 9, 9, flash, eeprom));
    const size_t frames_before = frames(app_->device()).size();

    ASSERT_NO_FATAL_FAILURE(choose_file(file));
    const auto t0 = std::chrono::steady_clock::now();
    std::optional<MessageBoxInfo> box;
    watch_progress_until_box(box, milliseconds(120000));
    const auto t1 = std::chrono::steady_clock::now();
    expect_box(box, L"Обновление завершено успешно!", false);
    ASSERT_TRUE(answer_message_box(*box, IDOK));
    ASSERT_TRUE(wait_until([&] { return app_->device().state("mode") == "normal"; }, milliseconds(10000)));
    EXPECT_EQ(read_bytes(app_->device().dir() / "flash.bin"), expected_memory(Bytes(64 * 1024, 0), flash));
    EXPECT_EQ(read_bytes(app_->device().dir() / "eeprom.bin"), eeprom);

    // Reports of every update frame: command, length, payload, CRC in 58-byte pieces.
    auto log = frames(app_->device());
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(std::min(frames_before, log.size())));
    ASSERT_FALSE(log.empty());
    size_t reports = 0;
    for (const auto& f : log) reports += (f.payload.size() / 2 + 5 + 57) / 58;
    ASSERT_EQ(count_cmd(log, 0xFA), 1u);
    const double minimum_ms = static_cast<double>(reports) * transfer_us / 1000.0;
    const double total_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    const double span_ms = static_cast<double>(log.back().time_ms - log.front().time_ms);
    std::printf("update of %zu + %zu bytes under Wine at %u us per report: %zu reports, device-bound minimum %.0f ms; "
                "first to last update frame at the device %.0f ms; file choice to success message %.0f ms\n",
                flash.size(), eeprom.size(), transfer_us, reports, minimum_ms, span_ms, total_ms);
    EXPECT_GE(span_ms + 1, minimum_ms);
  }
};

TEST_F(UpdateBenchmark, LargestFileAt1msPerReport) { run(1000); }

// The same with reports that cost the device nothing: what is left is the
// host's own time (program, link, library, and Wine).
TEST_F(UpdateBenchmark, LargestFileAtNoDeviceTime) { run(0); }

}  // namespace
