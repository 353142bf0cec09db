// mx540ctl.exe end to end under Wine: the real tool, run as a script would run
// it, against the virtual MX-540KTR with one or several units, each in its own
// state folder (unit 1 in the device folder, unit k in its "unitK").
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "USB.h"
#include "vnxu.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

fs::path own_folder() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(std::wstring(path, n)).parent_path();
}

Bytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string read_text(const fs::path& path) {
  const Bytes b = read_bytes(path);
  return std::string(b.begin(), b.end());
}

struct ToolRun {
  DWORD status = 0xFFFFFFFF;
  std::string out, err;
};

std::string serial(int unit) {
  char text[32];
  std::snprintf(text, sizeof text, "VX540K-%06d", unit);
  return text;
}

// A folder with mx540ctl.exe, the virtual HID_Lib.dll and the device folder.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = own_folder() / "mx540ctl_test" / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::error_code ec;
    fs::remove_all(folder_, ec);
    fs::create_directories(folder_ / "device");
    fs::copy_file(own_folder() / "mx540ctl.exe", folder_ / "mx540ctl.exe");
    fs::copy_file(own_folder() / "virtual" / "HID_Lib.dll", folder_ / "HID_Lib.dll");
  }

  fs::path unit_dir(int unit) const {
    return unit == 1 ? folder_ / "device" : folder_ / "device" / ("unit" + std::to_string(unit));
  }
  Bytes settings(int unit) const { return read_bytes(unit_dir(unit) / "settings.bin"); }
  // Commands of frames the unit received, in order.
  std::vector<unsigned> frame_cmds(int unit) const {
    std::vector<unsigned> cmds;
    std::ifstream in(unit_dir(unit) / "frames.log");
    for (std::string line; std::getline(in, line);)
      if (const auto at = line.find(" cmd=0x"); at != std::string::npos)
        cmds.push_back(static_cast<unsigned>(std::stoul(line.substr(at + 7, 2), nullptr, 16)));
    return cmds;
  }

  // The tool started in the folder with `units` virtual units, its output
  // read by threads of its own.
  struct Started {
    PROCESS_INFORMATION pi{};
    bool started = false;
    std::unique_ptr<ToolRun> run = std::make_unique<ToolRun>();
    std::thread out_reader, err_reader;
  };
  Started start_tool(const std::wstring& args, int units = 1) {
    SetEnvironmentVariableW(L"MX540_VIRTUAL_DIR", (folder_ / "device").wstring().c_str());
    SetEnvironmentVariableW(L"MX540_VIRTUAL_UNITS", std::to_wstring(units).c_str());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    CreatePipe(&out_read, &out_write, &inherit, 0);
    CreatePipe(&err_read, &err_write, &inherit, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out_write;
    si.hStdError = err_write;
    std::wstring command = L"\"" + (folder_ / "mx540ctl.exe").wstring() + L"\" " + args;
    Started s;
    s.started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                               folder_.wstring().c_str(), &si, &s.pi);
    CloseHandle(out_write);
    CloseHandle(err_write);
    auto drain = [](HANDLE pipe, std::string* into) {
      char buffer[4096];
      DWORD got = 0;
      while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got) into->append(buffer, got);
      CloseHandle(pipe);
    };
    s.out_reader = std::thread(drain, out_read, &s.run->out);
    s.err_reader = std::thread(drain, err_read, &s.run->err);
    return s;
  }
  // Waits at most 3 minutes for it to end.
  ToolRun finish(Started& s) {
    if (s.started) {
      if (WaitForSingleObject(s.pi.hProcess, 180000) != WAIT_OBJECT_0) TerminateProcess(s.pi.hProcess, 99);
      GetExitCodeProcess(s.pi.hProcess, &s.run->status);
      CloseHandle(s.pi.hProcess);
      CloseHandle(s.pi.hThread);
    }
    s.out_reader.join();
    s.err_reader.join();
    return *s.run;
  }
  ToolRun tool(const std::wstring& args, int units = 1) {
    Started s = start_tool(args, units);
    return finish(s);
  }

  fs::path folder_;
};

std::string trace(const ToolRun& r) { return "status " + std::to_string(r.status) + "\nout: " + r.out + "\nerr: " + r.err; }

TEST_F(ToolTest, ListShowAndSetWithTwoUnits) {
  const ToolRun list = tool(L"list", 2);
  ASSERT_EQ(list.status, 0u) << trace(list);
  EXPECT_NE(list.out.find(serial(1) + "   MX-540KTR   normal  1.16"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(serial(2)), std::string::npos) << list.out;
  const ToolRun json = tool(L"list --json", 2);
  EXPECT_EQ(json.status, 0u);
  EXPECT_NE(json.out.find("\"mode\": \"normal\""), std::string::npos) << json.out;

  // Two units and no --serial: a usage error that names both.
  const ToolRun ambiguous = tool(L"show", 2);
  EXPECT_EQ(ambiguous.status, 1u) << trace(ambiguous);
  EXPECT_NE(ambiguous.err.find(serial(1) + ", " + serial(2)), std::string::npos) << ambiguous.err;
  const ToolRun missing = tool(L"show --serial VX540K-000009", 2);
  EXPECT_EQ(missing.status, 2u) << trace(missing);

  const ToolRun show = tool(L"show --serial " + std::wstring(serial(2).begin(), serial(2).end()), 2);
  ASSERT_EQ(show.status, 0u) << trace(show);
  EXPECT_NE(show.out.find("1 *     LR    Ch_1-2     0 dB    -18 dBFS   0 ms     0 ms     dB"), std::string::npos)
      << show.out;

  const Bytes unit1_before = settings(1);
  const ToolRun set = tool(L"set --serial VX540K-000002 --preset 3 gain=-7 src=ch_9-10 delay=120 scale=dBFS active=2", 2);
  ASSERT_EQ(set.status, 0u) << trace(set);
  const Bytes s = settings(2);
  ASSERT_EQ(s.size(), 29u);
  // active preset 2 (index 1); preset 3 (index 2): src byte 5+2, gain 9+2, scale 17+2, delay 21+2.
  EXPECT_EQ(s[0], 1);
  EXPECT_EQ(s[5 + 2], 4);
  EXPECT_EQ(static_cast<int8_t>(s[9 + 2]), -7);
  EXPECT_EQ(s[17 + 2], 1);
  EXPECT_EQ(s[21 + 2], 12);
  EXPECT_EQ(s[9 + 1], 0);   // the other presets as they were
  EXPECT_EQ(settings(1), unit1_before);
  // The frame log is the last process's own: this `set`'s.
  const auto cmds = frame_cmds(2);
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 0x80u), 1) << "the record is written once";

  // A bad pair among good ones changes nothing and sends nothing.
  const size_t frames_before = frame_cmds(2).size();
  const ToolRun bad = tool(L"set --serial VX540K-000002 gain=3 ref=-40", 2);
  EXPECT_EQ(bad.status, 1u) << trace(bad);
  EXPECT_NE(bad.err.find("ref=-40"), std::string::npos) << bad.err;
  EXPECT_EQ(settings(2), s);
  EXPECT_EQ(frame_cmds(2).size(), frames_before);
}

TEST_F(ToolTest, SaveLoadResetAndRejectedSettingsFiles) {
  ASSERT_EQ(tool(L"set active=4 lr=R gain=9 ref=-3 gpi=170").status, 0u);
  const Bytes saved_record = settings(1);
  ASSERT_EQ(saved_record.size(), 29u);
  const ToolRun save = tool(L"save backup.json");
  ASSERT_EQ(save.status, 0u) << trace(save);
  const std::string backup = read_text(folder_ / "backup.json");
  EXPECT_NE(backup.find("\"serial\": \"VX540K-000001\""), std::string::npos) << backup;

  const ToolRun reset = tool(L"reset");
  ASSERT_EQ(reset.status, 0u) << trace(reset);
  ASSERT_NE(settings(1), saved_record) << "the reset restores the factory settings";
  const auto reset_cmds = frame_cmds(1);
  EXPECT_EQ(std::count(reset_cmds.begin(), reset_cmds.end(), 0xFDu), 1);
  const Bytes factory = settings(1);

  // Refused files: nothing is written to the unit.
  struct Bad {
    const char* name;
    std::string text;
    const char* field;
  } bad[] = {
      {"other-model.json", [&] {
         std::string t = backup;
         t.replace(t.find("MX-540KTR"), 9, "MX-999");
         return t;
       }(), "model"},
      {"gain.json", [&] {
         std::string t = backup;
         t.replace(t.find("\"gain\": 9"), 9, "\"gain\": 99");
         return t;
       }(), "presets.4.gain"},
      {"cut.json", backup.substr(0, backup.size() / 2), "JSON"},
  };
  for (const auto& b : bad) {
    write_bytes(folder_ / b.name, Bytes(b.text.begin(), b.text.end()));
    const auto cmds_before = frame_cmds(1);
    const auto writes = std::count(cmds_before.begin(), cmds_before.end(), 0x80u);
    const ToolRun load = tool(L"load " + std::wstring(b.name, b.name + std::strlen(b.name)));
    EXPECT_EQ(load.status, 3u) << b.name << "\n" << trace(load);
    EXPECT_NE(load.err.find(b.field), std::string::npos) << b.name << ": " << load.err;
    EXPECT_EQ(settings(1), factory) << b.name;
    const auto cmds = frame_cmds(1);
    EXPECT_EQ(std::count(cmds.begin(), cmds.end(), 0x80u), writes) << b.name;
  }

  const ToolRun load = tool(L"load backup.json");
  ASSERT_EQ(load.status, 0u) << trace(load);
  EXPECT_EQ(settings(1), saved_record) << "the 29 bytes come back exactly";
}

Bytes firmware(size_t size, unsigned seed, const std::string& version) {
  std::mt19937 gen(seed);
  Bytes b(size);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  const std::string text = "VERSION=" + version + " ";
  std::copy(text.begin(), text.end(), b.begin() + 16);
  return b;
}

TEST_F(ToolTest, UpdateOneUnitAndAWrongModelFile) {
  const Bytes flash = firmware(20000, 1, "2.1"), eeprom = firmware(1000, 2, "0.0");
  write_bytes(folder_ / "fw.vnxu", make_vnxu_file("MX-540KTR ", 2, 1, flash, eeprom));
  write_bytes(folder_ / "other.vnxu", make_vnxu_file("MX-999 ", 2, 1, flash, eeprom));

  const ToolRun wrong = tool(L"update other.vnxu");
  EXPECT_EQ(wrong.status, 3u) << trace(wrong);
  EXPECT_TRUE(frame_cmds(1).empty()) << "nothing is sent for a file that does not fit";
  EXPECT_EQ(tool(L"update missing.vnxu").status, 3u);

  const ToolRun update = tool(L"update fw.vnxu");
  ASSERT_EQ(update.status, 0u) << trace(update);
  EXPECT_NE(update.out.find("updated from firmware 1.16 to 2.1"), std::string::npos) << update.out;
  // Not a console: one line per 10 %.
  EXPECT_NE(update.out.find("50 %  "), std::string::npos) << update.out;
  EXPECT_NE(update.out.find("100 %  21000/21000 bytes"), std::string::npos) << update.out;
  const Bytes flash_now = read_bytes(unit_dir(1) / "flash.bin");
  ASSERT_GE(flash_now.size(), flash.size());
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), flash_now.begin()));
  EXPECT_EQ(read_text(unit_dir(1) / "version.txt").substr(0, 3), "2.1");
}

TEST_F(ToolTest, AnUpdateOfAUnitThatHangsEndsSoonAfterTheBlockBound) {
  write_bytes(folder_ / "fw.vnxu", make_vnxu_file("MX-540KTR ", 2, 1, firmware(60000, 5, "2.1"), firmware(1000, 6, "0.0")));
  fs::create_directories(unit_dir(1) / "control");
  std::ofstream(unit_dir(1) / "control" / "00.cmd") << "transfer-us 3000\n";
  auto update = std::async(std::launch::async, [&] { return tool(L"update fw.vnxu"); });
  auto flashing = [&] {
    const auto cmds = frame_cmds(1);
    return std::find(cmds.begin(), cmds.end(), 0xF1u) != cmds.end();
  };
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!flashing() && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(flashing());
  // The unit hangs on its next report for longer than the tool waits for a block.
  std::ofstream(unit_dir(1) / "control" / "01.cmd") << "stall 30000\n";
  while (fs::exists(unit_dir(1) / "control" / "01.cmd") && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto stalled = std::chrono::steady_clock::now();
  const ToolRun run = update.get();
  const auto took = std::chrono::steady_clock::now() - stalled;
  EXPECT_EQ(run.status, 5u) << trace(run);
  EXPECT_NE(run.err.find("stopped taking update blocks"), std::string::npos) << run.err;
  // The tool's bound for one block is 10 s; its end adds at most about a second.
  std::printf("ended %.2f s after the unit hung\n", std::chrono::duration<double>(took).count());
  EXPECT_LT(took, std::chrono::seconds(12));
}

TEST_F(ToolTest, UpdateAllOfThreeUnits) {
  const Bytes flash = firmware(8192, 3, "3.4"), eeprom = firmware(512, 4, "0.0");
  write_bytes(folder_ / "fw.vnxu", make_vnxu_file("MX-540KTR ", 3, 4, flash, eeprom));
  const ToolRun update = tool(L"update fw.vnxu --all", 3);
  ASSERT_EQ(update.status, 0u) << trace(update);
  for (int unit = 1; unit <= 3; ++unit) {
    EXPECT_NE(update.out.find(serial(unit) + ": updated to firmware 3.4"), std::string::npos) << update.out;
    const Bytes flash_now = read_bytes(unit_dir(unit) / "flash.bin");
    ASSERT_GE(flash_now.size(), flash.size()) << unit;
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), flash_now.begin())) << unit;
  }
}

// Processes whose parent is `parent`.
std::vector<DWORD> children_of(DWORD parent) {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry))
    if (entry.th32ParentProcessID == parent) ids.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return ids;
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    Sleep(20);
  }
  return true;
}

// The children end with their parent, however it ends; the units they left
// in their boot loaders take the update when it is run again.
TEST_F(ToolTest, KillingTheParentOfUpdateAllEndsItsChildren) {
  const Bytes flash = firmware(60000, 5, "2.7"), eeprom = firmware(2000, 6, "0.0");
  write_bytes(folder_ / "fw.vnxu", make_vnxu_file("MX-540KTR ", 2, 7, flash, eeprom));
  Started parent = start_tool(L"update fw.vnxu --all", 2);
  ASSERT_TRUE(parent.started);
  std::vector<DWORD> children;
  ASSERT_TRUE(wait_for([&] { return (children = children_of(parent.pi.dwProcessId)).size() == 2; },
                       std::chrono::seconds(60)));
  // Both units are taking blocks: from now on each report takes 20 ms, so
  // that the updates would go on for long after the parent is gone.
  for (int unit = 1; unit <= 2; ++unit) {
    ASSERT_TRUE(wait_for([&] {
      const auto cmds = frame_cmds(unit);
      return std::count(cmds.begin(), cmds.end(), 0xF1u) > 0;
    }, std::chrono::seconds(60))) << unit;
    std::ofstream(unit_dir(unit) / "control" / "slow.cmd") << "transfer-us 20000\n";
  }
  for (int unit = 1; unit <= 2; ++unit)
    ASSERT_TRUE(wait_for([&] { return read_text(unit_dir(unit) / "control.log").find("transfer-us 20000 -> ok") !=
                                      std::string::npos; },
                         std::chrono::seconds(30))) << unit;

  std::vector<HANDLE> handles;
  for (DWORD id : children)
    if (HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, id)) handles.push_back(h);
  ASSERT_EQ(handles.size(), 2u);
  TerminateProcess(parent.pi.hProcess, 1);
  const auto killed = std::chrono::steady_clock::now();
  for (HANDLE h : handles) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        killed + std::chrono::seconds(3) - std::chrono::steady_clock::now());
    EXPECT_EQ(WaitForSingleObject(h, static_cast<DWORD>(std::max<long long>(left.count(), 0))), WAIT_OBJECT_0)
        << "a child still runs 3 s after its parent was killed";
  }
  // The children hold the parent's output pipe too: its readers end with them.
  for (HANDLE h : handles) {
    WaitForSingleObject(h, 120000);
    CloseHandle(h);
  }
  finish(parent);

  // Both stay in their boot loaders, as the units themselves would.
  const ToolRun list = tool(L"list", 2);
  EXPECT_NE(list.out.find(serial(1) + "   MX-540KTR   boot"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(serial(2) + "   MX-540KTR   boot"), std::string::npos) << list.out;
  for (int unit = 1; unit <= 2; ++unit)
    std::ofstream(unit_dir(unit) / "control" / "fast.cmd") << "transfer-us 1000\n";
  const ToolRun again = tool(L"update fw.vnxu --all", 2);
  ASSERT_EQ(again.status, 0u) << trace(again);
  for (int unit = 1; unit <= 2; ++unit) {
    EXPECT_NE(again.out.find(serial(unit) + ": updated to firmware 2.7"), std::string::npos) << again.out;
    const Bytes flash_now = read_bytes(unit_dir(unit) / "flash.bin");
    ASSERT_GE(flash_now.size(), flash.size()) << unit;
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), flash_now.begin())) << unit;
  }
}

TEST_F(ToolTest, AUnitHeldByAnotherProgramIsNotTouched) {
  // This test program takes unit 1's lock as the panel would.
  auto locks = link_win32_unit_locks();
  std::string holder;
  ASSERT_TRUE(locks->take(serial(1), holder));
  const ToolRun show = tool(L"show");
  EXPECT_EQ(show.status, 2u) << trace(show);
  EXPECT_NE(show.err.find("in use by mx540ctl_wine_test.exe"), std::string::npos) << show.err;
  EXPECT_TRUE(frame_cmds(1).empty());
  locks->give_back(serial(1));
  EXPECT_EQ(tool(L"show").status, 0u);
}

}  // namespace
