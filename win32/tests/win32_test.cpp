// The Win32 helper room: text conversion, the owners, the window base and
// command lines for child processes.
#include "win32/command_line.h"
#include "win32/handles.h"
#include "win32/text.h"
#include "win32/window.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

TEST(Text, Utf8AndWideConvertBothWaysWithoutLoss) {
  struct Case {
    const char* name;
    std::string utf8;
    std::wstring wide;
  };
  const Case cases[] = {
      {"empty", "", L""},
      {"ASCII", "MX-540KTR (boot)", L"MX-540KTR (boot)"},
      {"embedded NUL kept", "a\0b"s, L"a\0b"s},
      {"Cyrillic", "\xD0\x97\xD0\xB0\xD0\xBA\xD1\x80\xD1\x8B\xD1\x82\xD1\x8C",
       L"\x0417\x0430\x043A\x0440\x044B\x0442\x044C"},
      {"outside the BMP: a surrogate pair", "\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(win32::utf8_to_wide(c.utf8), c.wide) << c.name;
    EXPECT_EQ(win32::wide_to_utf8(c.wide), c.utf8) << c.name;
  }
  // Bytes that are not UTF-8 become U+FFFD, the rest stays.
  EXPECT_EQ(win32::utf8_to_wide("a\xFF" "b"), L"a\xFFFD" L"b");
}

TEST(Text, AnsiConversionsFollowTheCodePage) {
  // ASCII is the same in every ANSI code page.
  const std::string ascii = "VORNIX VX540K-000001";
  EXPECT_EQ(win32::ansi_to_wide(ascii), L"VORNIX VX540K-000001");
  EXPECT_EQ(win32::wide_to_ansi(L"VORNIX VX540K-000001"), ascii);
  EXPECT_EQ(win32::utf8_to_ansi(ascii), ascii);
  EXPECT_EQ(win32::ansi_to_utf8(ascii), ascii);
  EXPECT_EQ(win32::utf8_to_ansi(""), "");
  if (GetACP() != 1252) GTEST_SKIP() << "the rows below are for code page 1252, this machine has " << GetACP();
  EXPECT_EQ(win32::utf8_to_ansi("caf\xC3\xA9"), "caf\xE9");
  EXPECT_EQ(win32::ansi_to_utf8("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(win32::ansi_to_wide("\x80"), L"\x20AC");  // the euro sign
  // A character the code page cannot hold becomes its default character.
  EXPECT_EQ(win32::utf8_to_ansi("\xE4\xB8\xAD"), "?");
}

bool handle_is_open(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

// Whatever an argument holds, the system's parser gives it back as it was.
TEST(CommandLine, HostileArgumentsComeBackWhole) {
  const std::wstring program = L"C:\\Program Files\\VORNIX\\mx540ctl.exe";
  const std::vector<std::wstring> arguments = {
      L"update", L"--serial", L"A\"B", L"ends in a backslash\\", L"\\\\server\\share\\",
      L"\\\"", L"\"", L"\"\"", L"", L" ", L"two  blanks\tand a tab", L"-fw.vnxu", L"--",
      L"\u00C4\u20AC\\\"\\", L"a\\\\\"b\\c", L"%PATH% ^& | < > !x!", L"line\nbreak",
  };
  const std::wstring line = win32::command_line(program, arguments);
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
  ASSERT_NE(argv, nullptr);
  ASSERT_EQ(count, static_cast<int>(arguments.size()) + 1) << win32::wide_to_utf8(line);
  EXPECT_EQ(argv[0], program);
  for (size_t i = 0; i < arguments.size(); ++i)
    EXPECT_EQ(argv[i + 1], arguments[i]) << i << ": " << win32::wide_to_utf8(line);
  LocalFree(argv);
}

TEST(Owners, ReleaseOnceWhatTheyHoldAndNothingElse) {
  // Neither "no handle" value is closed or counts as a handle.
  EXPECT_FALSE(win32::THandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(win32::THandle(nullptr));

  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  {
    win32::THandle first(raw);
    win32::THandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.get(), raw);
    EXPECT_TRUE(handle_is_open(raw));
  }
  EXPECT_FALSE(handle_is_open(raw));

  HANDLE kept = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  { win32::THandle given_up(kept); EXPECT_EQ(given_up.release(), kept); }
  EXPECT_TRUE(handle_is_open(kept));
  CloseHandle(kept);

  // A selection puts the DC's previous font back before the font is deleted.
  win32::TMemoryDC dc(CreateCompatibleDC(nullptr));
  ASSERT_TRUE(dc);
  const HGDIOBJ original = GetCurrentObject(dc.get(), OBJ_FONT);
  HFONT font_handle = nullptr;
  {
    win32::TGdiObject<HFONT> font(CreateFontW(-20, 0, 0, 0, FW_BOLD, 0, 0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"Tahoma"));
    font_handle = font.get();
    win32::TSelection selected(dc.get(), font.get());
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), font.get());
  }
  EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_FONT), original);
  EXPECT_EQ(GetObjectType(font_handle), 0u) << "the font was not deleted";

  // A module loaded for the owner alone is unmapped when the owner ends.
  if (GetModuleHandleW(L"hid.dll") == nullptr) {
    {
      win32::TModule hid(LoadLibraryW(L"hid.dll"));
      ASSERT_TRUE(hid);
      EXPECT_EQ(GetModuleHandleW(L"hid.dll"), hid.get());
    }
    EXPECT_EQ(GetModuleHandleW(L"hid.dll"), nullptr);
  }

  win32::TWindowDC screen(nullptr);
  EXPECT_TRUE(screen);
  EXPECT_GT(GetDeviceCaps(screen.get(), LOGPIXELSY), 0);
}

class TRecorder final : public win32::TWindow {
 public:
  std::vector<UINT> seen;
  HWND handle_at_create = nullptr;

  bool create() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &win32::TWindow::procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TRecorderTest";
    RegisterClassW(&wc);
    return create_window(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                         wc.hInstance) !=
           nullptr;
  }
  LRESULT handle_message(UINT msg, WPARAM wp, LPARAM lp) override {
    seen.push_back(msg);
    if (msg == WM_CREATE) handle_at_create = handle;
    if (msg == WM_APP + 7) return 42;
    return DefWindowProcW(handle, msg, wp, lp);
  }
};

TEST(Window, MessagesReachTheObjectFromCreationToTheEnd) {
  TRecorder window;
  ASSERT_TRUE(window.create());
  ASSERT_NE(window.handle, nullptr);
  EXPECT_EQ(window.handle_at_create, window.handle);
  ASSERT_FALSE(window.seen.empty());
  EXPECT_EQ(window.seen.front(), static_cast<UINT>(WM_NCCREATE));
  EXPECT_EQ(SendMessageW(window.handle, WM_APP + 7, 0, 0), 42);

  const HWND handle = window.handle;
  DestroyWindow(handle);
  EXPECT_EQ(window.seen.back(), static_cast<UINT>(WM_NCDESTROY));
}

}  // namespace
