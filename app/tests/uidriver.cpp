#include "uidriver.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace uidriver {

bool wait_until(const std::function<bool()>& done, milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(milliseconds(20));
  }
}

fs::path own_folder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(std::wstring(path, n)).parent_path();
}

// --- virtual device ---

bool read_device_file(const fs::path& file, std::string& out) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    out.clear();
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &got, nullptr) && got > 0) out.append(buffer, got);
    CloseHandle(handle);
    return true;
  }
  return false;
}


void VirtualDevice::leave_command(const std::string& line) {
  fs::create_directories(dir_ / "control");
  char name[32];
  std::snprintf(name, sizeof name, "%06d-ui.cmd", ++sequence_);
  // Written under another name and renamed, so the device never reads half a command.
  const fs::path temp = dir_ / "control" / (std::string(name) + ".part");
  {
    std::ofstream out(temp, std::ios::binary);
    out << line << '\n';
  }
  MoveFileExW(temp.c_str(), (dir_ / "control" / name).c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::string VirtualDevice::command(const std::string& line, milliseconds timeout) {
  leave_command(line);
  char name[32];
  std::snprintf(name, sizeof name, "%06d-ui.cmd", sequence_);
  const fs::path file = dir_ / "control" / name;
  if (!wait_until([&] { return !fs::exists(file); }, timeout)) return "timeout";
  std::string log;
  read_device_file(dir_ / "control.log", log);
  const std::string prefix = std::string(name) + ": ";
  std::string result;
  std::istringstream in(log);
  for (std::string l; std::getline(in, l);)
    if (l.rfind(prefix, 0) == 0) result = l.substr(l.find(" -> ") == std::string::npos ? l.size() : l.find(" -> ") + 4);
  return result;
}

std::optional<std::array<uint8_t, 29>> VirtualDevice::settings() const {
  std::string bytes;
  if (!read_device_file(dir_ / "settings.bin", bytes) || bytes.size() != 29) return std::nullopt;
  std::array<uint8_t, 29> record{};
  for (size_t i = 0; i < 29; ++i) record[i] = static_cast<uint8_t>(bytes[i]);
  return record;
}

std::map<std::string, std::string> VirtualDevice::state() const {
  std::map<std::string, std::string> values;
  std::string text;
  if (!read_device_file(dir_ / "device.txt", text)) return values;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

std::string VirtualDevice::state(const std::string& key) const {
  auto values = state();
  auto it = values.find(key);
  return it == values.end() ? std::string() : it->second;
}

bool VirtualDevice::wait_settings(const std::function<bool(const std::array<uint8_t, 29>&)>& match,
                                  milliseconds timeout) const {
  return wait_until(
      [&] {
        auto s = settings();
        return s && match(*s);
      },
      timeout);
}

// --- the program ---

App::App(fs::path folder, fs::path device_dir)
    : folder_(std::move(folder)), device_(device_dir.empty() ? folder_ / "device" : device_dir) {
  std::error_code ec;
  fs::remove_all(folder_, ec);
  fs::create_directories(folder_);
  fs::create_directories(device_.dir() / "control");
  const fs::path from = own_folder();
  fs::copy_file(from / "MX_540KTR.exe", folder_ / "MX_540KTR.exe", fs::copy_options::overwrite_existing, ec);
  fs::copy_file(from / "virtual" / "HID_Lib.dll", folder_ / "HID_Lib.dll", fs::copy_options::overwrite_existing, ec);
}

App::~App() {
  if (running()) stop();
  if (pi_.hProcess) CloseHandle(pi_.hProcess);
  if (pi_.hThread) CloseHandle(pi_.hThread);
  if (display_lock_) {
    ReleaseMutex(display_lock_);
    CloseHandle(display_lock_);
  }
}

bool App::start(milliseconds timeout) {
  if (!display_lock_) {
    display_lock_ = CreateMutexW(nullptr, FALSE, L"mx540ktr-uidriver-display");
    // An abandoned lock (a driver that died) is taken over as well.
    if (display_lock_) WaitForSingleObject(display_lock_, INFINITE);
  }
  SetEnvironmentVariableW(L"MX540_VIRTUAL_DIR", device_.dir().wstring().c_str());
  std::wstring command = L"\"" + (folder_ / "MX_540KTR.exe").wstring() + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder_.wstring().c_str(), &si,
                      &pi_))
    return false;
  WaitForInputIdle(pi_.hProcess, static_cast<DWORD>(timeout.count()));
  wait_until(
      [&] {
        fmain_ = find_top_window(pi_.dwProcessId, fmain_class, nullptr, true);
        fu_ = find_top_window(pi_.dwProcessId, fu_class, nullptr);
        return fmain_ && fu_;
      },
      timeout);
  return fmain_ && fu_;
}

bool App::running() const { return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT; }

DWORD App::exit_code() const {
  DWORD code = STILL_ACTIVE;
  if (pi_.hProcess) GetExitCodeProcess(pi_.hProcess, &code);
  return code;
}

void App::stop(milliseconds timeout) {
  if (!running()) return;
  // Message boxes left open would keep the process alive: answer them first.
  while (auto box = wait_message_box(pi_.dwProcessId, milliseconds(0))) answer_message_box(*box, IDOK);
  if (fmain_) PostMessageW(fmain_, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(pi_.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
    TerminateProcess(pi_.hProcess, 99);
  WaitForSingleObject(pi_.hProcess, 5000);
}

// --- windows ---

namespace {

struct TopSearch {
  DWORD pid;
  const wchar_t* cls;
  const wchar_t* title;
  bool visible_only;
  HWND found;
};

BOOL CALLBACK top_search(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<TopSearch*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid != s->pid) return TRUE;
  if (s->visible_only && !IsWindowVisible(h)) return TRUE;
  if (s->cls && class_of(h) != s->cls) return TRUE;
  if (s->title && text_of(h) != s->title) return TRUE;
  s->found = h;
  return FALSE;
}

struct ChildSearch {
  const wchar_t* cls;
  const wchar_t* text;
  int nth;
  HWND found;
};

BOOL CALLBACK child_search(HWND h, LPARAM lp) {
  auto* s = reinterpret_cast<ChildSearch*>(lp);
  if (s->cls && class_of(h) != s->cls) return TRUE;
  if (s->text && text_of(h) != s->text) return TRUE;
  if (s->nth-- > 0) return TRUE;
  s->found = h;
  return FALSE;
}

}  // namespace

HWND find_top_window(DWORD pid, const wchar_t* cls, const wchar_t* title, bool visible_only) {
  TopSearch s{pid, cls, title, visible_only, nullptr};
  EnumWindows(top_search, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND find_child(HWND parent, const wchar_t* cls, const wchar_t* text, int nth) {
  ChildSearch s{cls, text, nth, nullptr};
  EnumChildWindows(parent, child_search, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND find_child_by_id(HWND parent, int id) {
  struct Search {
    int id;
    HWND found;
  } s{id, nullptr};
  EnumChildWindows(
      parent,
      [](HWND h, LPARAM lp) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lp);
        if (GetDlgCtrlID(h) != s->id) return TRUE;
        s->found = h;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&s));
  return s.found;
}

std::wstring text_of(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 5000,
                      &copied);
  text.resize(copied);
  return text;
}

std::wstring class_of(HWND hwnd) {
  wchar_t name[256] = L"";
  GetClassNameW(hwnd, name, 256);
  return name;
}

RECT rect_in(HWND child, HWND ancestor) {
  RECT r{};
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, ancestor, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// --- input ---

namespace {

LRESULT send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_NORMAL, 10000, &result);
  return static_cast<LRESULT>(result);
}

// The press and release messages of a mouse button, and its key flag while down.
struct MouseMessages {
  UINT down, up;
  WPARAM key;
};

MouseMessages messages_of(Mouse button) {
  switch (button) {
    case Mouse::right: return {WM_RBUTTONDOWN, WM_RBUTTONUP, MK_RBUTTON};
    case Mouse::middle: return {WM_MBUTTONDOWN, WM_MBUTTONUP, MK_MBUTTON};
    case Mouse::left: break;
  }
  return {WM_LBUTTONDOWN, WM_LBUTTONUP, MK_LBUTTON};
}

}  // namespace

namespace {
template <class Deliver>
void mouse_click(HWND hwnd, int x, int y, Mouse button, Deliver deliver) {
  const MouseMessages m = messages_of(button);
  const LPARAM at = MAKELPARAM(x, y);
  deliver(hwnd, WM_MOUSEMOVE, 0, at);
  deliver(hwnd, m.down, m.key, at);
  deliver(hwnd, m.up, 0, at);
}
}  // namespace

void click_at(HWND hwnd, int x, int y, Mouse button) {
  mouse_click(hwnd, x, y, button, [](HWND h, UINT msg, WPARAM wp, LPARAM lp) { send(h, msg, wp, lp); });
}

void post_click_at(HWND hwnd, int x, int y, Mouse button) {
  mouse_click(hwnd, x, y, button, [](HWND h, UINT msg, WPARAM wp, LPARAM lp) { PostMessageW(h, msg, wp, lp); });
}

void click_button(HWND button) { send(button, BM_CLICK, 0, 0); }

void choose_item(HWND combo, int index) {
  send(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  send(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
       reinterpret_cast<LPARAM>(combo));
}

int chosen_item(HWND combo) { return static_cast<int>(send(combo, CB_GETCURSEL, 0, 0)); }

void set_text(HWND edit, const std::wstring& text) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL, 10000, &result);
}

void post_typing(HWND edit, const std::wstring& text) {
  PostMessageW(edit, EM_SETSEL, 0, -1);
  for (wchar_t c : text) PostMessageW(edit, WM_CHAR, c, 1);
}

void focus_by_click(HWND control) {
  send(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
  send(control, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
}

void choose_menu(HWND hwnd, int index) {
  UINT id = GetMenuItemID(GetMenu(hwnd), index);
  if (id == static_cast<UINT>(-1) && class_of(hwnd) == fmain_class && (index == 0 || index == 1))
    id = index == 0 ? menu_update_firmware : menu_about;
  PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

// --- real input ---

namespace {

void send_input(std::vector<INPUT> inputs) {
  SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

INPUT mouse_input(DWORD flags, LONG dx = 0, LONG dy = 0) {
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = dx;
  in.mi.dy = dy;
  in.mi.dwFlags = flags;
  return in;
}

GUITHREADINFO gui_of(HWND hwnd) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info);
  return info;
}

}  // namespace

void move_mouse(HWND hwnd, int x, int y) {
  POINT p{x, y};
  ClientToScreen(hwnd, &p);
  // Absolute positions are in 0..65535 across the primary screen.
  const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  send_input({mouse_input(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, MulDiv(p.x, 65535, w - 1), MulDiv(p.y, 65535, h - 1))});
  wait_until(
      [&] {
        POINT at{};
        GetCursorPos(&at);
        return std::abs(at.x - p.x) <= 1 && std::abs(at.y - p.y) <= 1;
      },
      milliseconds(2000));
}

void real_click(HWND hwnd, int x, int y) {
  move_mouse(hwnd, x, y);
  send_input({mouse_input(MOUSEEVENTF_LEFTDOWN), mouse_input(MOUSEEVENTF_LEFTUP)});
}

void press_keys(std::initializer_list<WORD> keys) {
  std::vector<INPUT> inputs;
  auto key = [](WORD vk, DWORD flags) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    in.ki.dwFlags = flags;
    return in;
  };
  for (WORD vk : keys) inputs.push_back(key(vk, 0));
  for (auto it = std::rbegin(keys); it != std::rend(keys); ++it) inputs.push_back(key(*it, KEYEVENTF_KEYUP));
  send_input(std::move(inputs));
}

HWND active_of(HWND hwnd) { return gui_of(hwnd).hwndActive; }
HWND focus_of(HWND hwnd) { return gui_of(hwnd).hwndFocus; }

// --- message boxes ---

namespace {

// Screen pixels of a window's rectangle, top-down 32-bit.
std::vector<uint32_t> grab(const RECT& r) {
  const int w = r.right - r.left, h = r.bottom - r.top;
  std::vector<uint32_t> pixels(static_cast<size_t>(w) * h);
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);
  BITMAPINFOHEADER bi{};
  bi.biSize = sizeof bi;
  bi.biWidth = w;
  bi.biHeight = -h;
  bi.biPlanes = 1;
  bi.biBitCount = 32;
  GetDIBits(mem, bmp, 0, static_cast<UINT>(h), pixels.data(), reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return pixels;
}

}  // namespace

std::vector<MenuRow> popup_menu_rows(DWORD pid, const std::function<void()>& open, milliseconds timeout) {
  // A popup that has not painted yet shows what was below it: the screen as
  // it was before tells the two apart.
  const RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  const std::vector<uint32_t> before = grab(screen);
  open();
  HWND popup = nullptr;
  wait_until([&] { return (popup = find_top_window(pid, L"#32768", nullptr, true)) != nullptr; }, timeout);
  if (!popup) return {};
  RECT r{};
  GetWindowRect(popup, &r);
  IntersectRect(&r, &r, &screen);
  const int w = r.right - r.left, h = r.bottom - r.top;
  std::vector<uint32_t> shown;
  auto below_shows = [&] {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        if (shown[static_cast<size_t>(y) * w + x] != before[static_cast<size_t>(r.top + y) * screen.right + r.left + x])
          return false;
    return true;
  };
  // Painted once it differs from what was below, and whole once two grabs agree.
  wait_until([&] {
    std::vector<uint32_t> again = grab(r);
    const bool still = again == shown;
    shown = std::move(again);
    return still && !below_shows();
  }, timeout);
  // Inside the frame and the highlight's edges, each pixel row has one ground
  // colour; rows with marks on it are the lines' text.
  constexpr int inset = 5;
  std::vector<MenuRow> rows;
  std::map<uint32_t, int> ink;
  auto end_line = [&] {
    // The text's own colour is its most frequent mark: a mid grey for an
    // unavailable item (black, or white when highlighted, otherwise).
    const auto most = std::max_element(ink.begin(), ink.end(), [](auto& a, auto& b) { return a.second < b.second; });
    if (most != ink.end()) {
      const int red = (most->first >> 16) & 0xFF, green = (most->first >> 8) & 0xFF, blue = most->first & 0xFF;
      rows.back().grey = std::abs(red - green) <= 8 && std::abs(green - blue) <= 8 && red >= 64 && red <= 200;
    }
    ink.clear();
  };
  bool in_line = false;
  for (int y = inset; y < h - inset; ++y) {
    std::map<uint32_t, int> count;
    for (int x = inset; x < w - inset; ++x) ++count[shown[static_cast<size_t>(y) * w + x] & 0xFFFFFF];
    const uint32_t ground =
        std::max_element(count.begin(), count.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
    int left = -1;
    for (int x = inset; x < w - inset; ++x) {
      const uint32_t c = shown[static_cast<size_t>(y) * w + x] & 0xFFFFFF;
      if (c == ground) continue;
      if (left < 0) left = x;
      ++ink[c];
    }
    if (left >= 0 && !in_line) rows.push_back({false, left});
    if (left >= 0) rows.back().ink_left = std::min(rows.back().ink_left, left);
    if (left < 0 && in_line) end_line();
    in_line = left >= 0;
  }
  if (in_line) end_line();
  return rows;
}

std::vector<uint32_t> menu_bar_pixels(HWND hwnd) {
  POINT origin{0, 0};
  ClientToScreen(hwnd, &origin);
  RECT client{};
  GetClientRect(hwnd, &client);
  const RECT bar{origin.x, origin.y - GetSystemMetrics(SM_CYMENU), origin.x + client.right, origin.y};
  return grab(bar);
}

bool answer_file_dialog(DWORD pid, const std::wstring& path, milliseconds timeout) {
  HWND dialog = nullptr, name = nullptr;
  wait_until(
      [&] {
        dialog = find_top_window(pid, L"#32770", nullptr, true);
        if (!dialog) return false;
        // The file name box: a combo box's edit (cmb13), or an edit (edt1).
        name = GetDlgItem(dialog, 0x47C);
        if (name && class_of(name) == L"ComboBox") name = find_child(name, L"Edit");
        if (!name) name = GetDlgItem(dialog, 0x480);
        return name != nullptr;
      },
      timeout);
  if (!name) return false;
  set_text(name, path);
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  return wait_until([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); });
}

// Icon handles do not mean anything in another process: the icon a message
// box shows is recognised by drawing each standard icon here, on the box's
// own background, and taking the one that differs in the fewest pixels.
LPCWSTR shown_icon(HWND icon_static) {
  RECT r{};
  GetWindowRect(icon_static, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return nullptr;
  const std::vector<uint32_t> shown = grab(r);
  const uint32_t ground = shown[0];
  LPCWSTR best = nullptr;
  size_t best_diff = SIZE_MAX;
  for (LPCWSTR kind : {IDI_ERROR, IDI_INFORMATION, IDI_WARNING, IDI_QUESTION}) {
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFOHEADER bi{};
    bi.biSize = sizeof bi;
    bi.biWidth = w;
    bi.biHeight = -h;
    bi.biPlanes = 1;
    bi.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(mem, reinterpret_cast<BITMAPINFO*>(&bi), DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    auto* p = static_cast<uint32_t*>(bits);
    std::fill(p, p + static_cast<size_t>(w) * h, ground);
    DrawIconEx(mem, 0, 0, LoadIconW(nullptr, kind), 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
    GdiFlush();
    size_t diff = 0;
    for (size_t i = 0; i < shown.size(); ++i) diff += ((shown[i] ^ p[i]) & 0xFFFFFF) != 0;
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    if (diff < best_diff) best_diff = diff, best = kind;
  }
  return best;
}

std::optional<MessageBoxInfo> wait_message_box(DWORD pid, milliseconds timeout) {
  HWND box = nullptr;
  wait_until(
      [&] {
        box = find_top_window(pid, L"#32770", nullptr, true);
        return box != nullptr;
      },
      timeout);
  if (!box) return std::nullopt;
  MessageBoxInfo info;
  info.hwnd = box;
  info.caption = text_of(box);
  info.owner = GetWindow(box, GW_OWNER);
  // The message text is the static control with id 0xFFFF.
  if (HWND text = find_child_by_id(box, 0xFFFF)) info.text = text_of(text);
  for (int i = 0; HWND b = find_child(box, L"Button", nullptr, i); ++i) info.buttons.push_back(text_of(b));
  // The icon is the static control of style SS_ICON (its id differs between Windows and Wine).
  HWND icon = nullptr;
  for (int i = 0; HWND c = find_child(box, L"Static", nullptr, i); ++i)
    if ((GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) icon = c;
  if (icon) {
    const LPCWSTR kind = shown_icon(icon);
    info.error_icon = kind == IDI_ERROR;
    info.info_icon = kind == IDI_INFORMATION;
  }
  return info;
}

bool answer_message_box(const MessageBoxInfo& box, int id) {
  PostMessageW(box.hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
  return wait_until([&] { return !IsWindow(box.hwnd) || !IsWindowVisible(box.hwnd); }, milliseconds(5000));
}

// --- pictures ---

bool save_window_bmp(HWND hwnd, const fs::path& file) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  const std::vector<uint32_t> shown = grab(r);

  // 24-bit rows, bottom-up, each padded to four bytes, as BMP files keep them.
  BITMAPINFOHEADER bi{};
  bi.biSize = sizeof bi;
  bi.biWidth = w;
  bi.biHeight = h;
  bi.biPlanes = 1;
  bi.biBitCount = 24;
  bi.biCompression = BI_RGB;
  const int stride = ((w * 3 + 3) / 4) * 4;
  std::vector<char> pixels(static_cast<size_t>(stride) * h);
  for (int y = 0; y < h; ++y) {
    char* row = &pixels[static_cast<size_t>(h - 1 - y) * stride];
    for (int x = 0; x < w; ++x) {
      const uint32_t c = shown[static_cast<size_t>(y) * w + x];
      row[3 * x] = static_cast<char>(c & 0xFF);
      row[3 * x + 1] = static_cast<char>((c >> 8) & 0xFF);
      row[3 * x + 2] = static_cast<char>((c >> 16) & 0xFF);
    }
  }

  BITMAPFILEHEADER fh{};
  fh.bfType = 0x4D42;
  fh.bfOffBits = sizeof fh + sizeof bi;
  fh.bfSize = fh.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&fh), sizeof fh);
  out.write(reinterpret_cast<const char*>(&bi), sizeof bi);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  return static_cast<bool>(out);
}

COLORREF pixel_at(HWND hwnd, int x, int y) {
  POINT p{x, y};
  ClientToScreen(hwnd, &p);
  HDC screen = GetDC(nullptr);
  const COLORREF c = GetPixel(screen, p.x, p.y);
  ReleaseDC(nullptr, screen);
  return c;
}

}  // namespace uidriver
