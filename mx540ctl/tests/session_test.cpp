// mx540ctl's commands over the real Session and link, natively, against fake
// units (link/tests/fake_hid) that answer as the device does: each run is one
// process of the tool, with its exit status, output and error stream.
#include "Commands.h"
#include "fake_hid.h"
#include "link_testing.h"
#include "vnxu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace {

using namespace mx::ctl;
namespace fs = std::filesystem;

struct FakeUnit {
  TFakeDevice device;
  TSettings record{};
  bool answers = true;   // answers reads
  bool boots = true;     // starts its boot loader when asked
  bool announced = true;  // its re-enumerations reach the library's device-change handler
  size_t flash_bytes = 0;
};

FakeUnit unit(const char* serial, const char* path = "") {
  FakeUnit u;
  u.device.serial = serial;
  u.device.path = path;
  u.record.lr[0] = 3;
  return u;
}

struct ToolRun {
  int status = -1;
  std::string out, err;
};

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    link_reset_for_tests();
    fake.reset();
    fake.set_on_frame([this](const TFrame& frame) { answer(frame); });
  }
  void TearDown() override {
    link_reset_for_tests();
    fake.reset();
  }

  // The unit open now acts on the frame; replies and bus changes reach the
  // link through the tool's main loop, as the library's threads would.
  void answer(const TFrame& f) {
    std::lock_guard guard(lock);
    const int i = fake.current();
    if (i < 0 || !loop) return;
    FakeUnit& u = units[static_cast<size_t>(i)];
    received.push_back(f.cmd);
    last_open = i;
    if ((f.cmd == cmd_boot_request || f.cmd == cmd_finish || f.cmd == cmd_update_close) && turn && !turn_held)
      outside_turn.push_back(f.cmd);
    auto reply = [&](uint8_t cmd, std::vector<uint8_t> payload) {
      loop->post([cmd, payload] { deliver_reply(cmd, payload); });
    };
    auto reenumerate = [&](const char* product) {
      u.device.product = product;
      publish();
      if (u.announced) loop->post([] { TFakeHid::get().usb_handler()(); });
    };
    if (f.cmd == cmd_read && u.answers) reply(cmd_read, settings_bytes(u.record));
    if (f.cmd == cmd_write && f.payload.size() == sizeof(TSettings)) {
      std::memcpy(&u.record, f.payload.data(), sizeof u.record);
      reply(cmd_write, f.payload);
    }
    if (f.cmd == cmd_boot_request && u.boots) reenumerate("MX-540KTR (boot)");
    if (f.cmd == cmd_reset) {
      u.record = TSettings{};
      reply(cmd_reset, {});
    }
    if (f.cmd == cmd_update_close) reenumerate("MX-540KTR");
    if (f.cmd == cmd_flash) u.flash_bytes += f.payload.size() - 4;
    if (f.cmd == cmd_finish) {
      reply(cmd_finish, {});
      u.device.version = 0x0207;
      reenumerate("MX-540KTR");
    }
  }
  void publish() {
    std::vector<TFakeDevice> devices;
    for (const FakeUnit& u : units) devices.push_back(u.device);
    fake.set_devices(devices);
  }

  // One run of the tool: the command line as words.
  ToolRun run(const std::string& line, Io io = {}) {
    std::istringstream words(line);
    std::vector<std::string> args;
    for (std::string w; words >> w;) args.push_back(w);
    const ParsedCommandLine parsed = parse_command_line(args);
    if (!parsed.options) return {parsed.exit_code, parsed.out, parsed.err};
    publish();
    MainLoop main_loop(portable_sleeper());
    Session session(main_loop, timeouts);
    if (turn) session.set_reenumeration_turn(turn);
    {
      std::lock_guard guard(lock);
      loop = &main_loop;
      received.clear();
      last_open = -1;
    }
    ToolRun r;
    session.install([&](const std::string& text) { r.err += text + "\n"; });
    TLinkPlatformFunctions platform;
    platform.file_exists = [](const std::string&) { return true; };
    platform.full_path = [](const std::string& name) { return name; };
    platform.load_library = [](const std::string&) -> void* { return &TFakeHid::get(); };
    platform.resolve = [](void*, const char* name) -> void* {
      void* entry = TFakeHid::get().entry(name);
      return entry ? entry : reinterpret_cast<void*>(&TFakeHid::get);
    };
    link_set_platform(platform);
    if (!others.empty()) {
      auto locks = std::make_shared<OtherPrograms>();
      locks->held = others;
      link_set_unit_locks(locks);
    }
    io.out = [&](const std::string& text) { r.out += text; };
    io.err = [&](const std::string& text) { r.err += text; };
    r.status = exit_code(run_command(*parsed.options, session, main_loop, io));
    session.stop();
    {
      std::lock_guard guard(lock);
      loop = nullptr;
    }
    link_reset_for_tests();
    return r;
  }

  // Locks that other programs hold (by key).
  struct OtherPrograms : mx::link::TUnitLocks {
    std::map<std::string, std::string> held;
    bool take(const std::string& key, std::string& holder) override {
      const auto it = held.find(key);
      if (it == held.end()) return true;
      holder = it->second;
      return false;
    }
    void give_back(const std::string&) override {}
  };

  TFakeHid& fake = TFakeHid::get();
  std::mutex lock;
  MainLoop* loop = nullptr;
  std::vector<FakeUnit> units;
  std::vector<uint8_t> received;  // commands the units got in the last run
  int last_open = -1;             // the unit that got the last one
  std::map<std::string, std::string> others;
  std::function<Session::TurnHolder(Clock::time_point)> turn;
  std::atomic<bool> turn_held{false};
  std::vector<uint8_t> outside_turn;  // re-enumerating commands sent without the turn
  Timeouts timeouts{std::chrono::seconds(10), std::chrono::seconds(10), std::chrono::seconds(10),
                    std::chrono::seconds(10)};
};

size_t count(const std::vector<uint8_t>& cmds, uint8_t cmd) {
  return static_cast<size_t>(std::count(cmds.begin(), cmds.end(), cmd));
}

// Whether `cmds` holds `wanted` in this order (others may come between).
bool in_order(const std::vector<uint8_t>& cmds, const std::vector<uint8_t>& wanted) {
  auto at = cmds.begin();
  for (uint8_t cmd : wanted)
    if ((at = std::find(at, cmds.end(), cmd)) == cmds.end()) return false;
  return true;
}

fs::path temp_file(const std::string& name) {
  return fs::temp_directory_path() /
         ("mx540ctl-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + name);
}

TEST_F(Commands, ListAndShowFindTheUnitOrSayWhyNot) {
  struct Case {
    std::vector<FakeUnit> units;
    std::string line;
    int status;
    std::string expected;   // in the output (status 0) or the error stream
    int opened = -1;        // the unit shown
  };
  const Case cases[] = {
      {{}, "list", 2, "No MX-540KTR is connected."},
      {{unit("0001"), unit("---", "P2")}, "list", 0, "---             MX-540KTR   normal  2.3  path P2\n"},
      {{unit("0001"), unit("---", "P2")}, "list --json", 0, "\"path\": \"P2\""},
      {{unit("0001"), unit("0002")}, "show", 1, "Several units are connected (0001, 0002)"},
      {{unit("0001"), unit("0002")}, "show --serial 0009", 2, "No unit with serial 0009"},
      {{unit("0001", "P1"), unit("0001", "P2")}, "show --serial 0001", 1, "choose one with --path"},
      {{unit("0001", "P1"), unit("0001", "P2")}, "show --path P2", 0, "0001  MX-540KTR  firmware 2.3", 1},
      {{unit("0002"), unit("---", "P2")}, "show --path P2", 0, "active preset: 1", 1},
      {{unit("0002"), unit("---", "P2")}, "show --path P9", 2, "No unit at path P9 is connected"},
      {{unit("0001")}, "show", 0, "1 *     LR    Ch_1-2", 0},
  };
  for (const Case& c : cases) {
    units = c.units;
    const ToolRun r = run(c.line);
    EXPECT_EQ(r.status, c.status) << c.line << "\n" << r.err;
    EXPECT_NE((c.status ? r.err : r.out).find(c.expected), std::string::npos) << c.line << "\n" << r.out << r.err;
    if (c.opened >= 0) {
      EXPECT_EQ(last_open, c.opened) << c.line;
    }
  }

  // Held by another program, or silent: status 2 and 5, nothing written.
  units = {unit("0001")};
  others = {{"0001", "MX_540KTR.exe"}};
  ToolRun held = run("show");
  EXPECT_EQ(held.status, 2);
  EXPECT_NE(held.err.find("in use by MX_540KTR.exe"), std::string::npos) << held.err;
  EXPECT_TRUE(received.empty());
  others.clear();
  units[0].answers = false;
  timeouts.answer = std::chrono::milliseconds(300);
  EXPECT_EQ(run("show").status, 5);
}

TEST_F(Commands, SetSaveAndLoadWriteOnceAndReadBack) {
  units = {unit("0001"), unit("0002")};
  const ToolRun set = run("set --serial 0002 gain=-7 active=2");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(units[1].record.gain[1], -7);
  EXPECT_EQ(units[1].record.preset, 1);
  EXPECT_EQ(count(received, cmd_write), 1u);
  EXPECT_EQ(units[0].record.gain[1], 0);

  const fs::path file = temp_file("save.json");
  ASSERT_EQ(run("save " + file.string() + " --serial 0002").status, 0);
  ASSERT_EQ(run("load " + file.string() + " --serial 0001").status, 0);
  EXPECT_EQ(settings_bytes(units[0].record), settings_bytes(units[1].record));

  std::ofstream(file) << "{\"format\": \"mx540ctl-settings\"";
  const ToolRun cut = run("load " + file.string() + " --serial 0001");
  EXPECT_EQ(cut.status, 3) << cut.err;
  EXPECT_TRUE(received.empty()) << "a refused file touches no unit";
  fs::remove(file);

  units[0].device.product = "MX-540KTR (boot)";
  EXPECT_EQ(run("set --serial 0001 gain=1").status, 4);
  EXPECT_EQ(count(received, cmd_write), 0u);
}

TEST_F(Commands, ResetAndUpdateGoThroughTheBootLoader) {
  units = {unit("0001")};
  units[0].record.gain[0] = 5;
  const ToolRun reset = run("reset");
  ASSERT_EQ(reset.status, 0) << reset.err;
  EXPECT_EQ(units[0].record.gain[0], 0);
  EXPECT_TRUE(in_order(received, {cmd_read, cmd_boot_request, cmd_reset, cmd_update_close}));
  // Re-enumerations that no device change announces are found by listing the bus again.
  units[0].announced = false;
  timeouts.unheard = std::chrono::milliseconds(100);
  const ToolRun unheard = run("reset");
  EXPECT_EQ(unheard.status, 0) << unheard.err;
  units[0].announced = true;

  const std::vector<uint8_t> flash(3000, 0x5A), eeprom(100, 0xA5);
  const fs::path file = temp_file("fw.vnxu");
  auto write_file = [&](const std::string& name) {
    const auto bytes = make_vnxu_file(name, 2, 7, flash, eeprom);
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
  };
  write_file("MX-999 ");
  EXPECT_EQ(run("update " + file.string()).status, 3);
  EXPECT_EQ(count(received, cmd_boot_request), 0u) << "a file that does not fit sends nothing";

  write_file("MX-540KTR ");
  const ToolRun update = run("update " + file.string());
  ASSERT_EQ(update.status, 0) << update.err;
  EXPECT_NE(update.out.find("0001: updated from firmware 2.3 to 2.7"), std::string::npos) << update.out;
  EXPECT_EQ(units[0].flash_bytes, 3072u);  // whole blocks, padded

  // With turns (under Wine): each re-enumeration the unit is asked for goes
  // in a turn of its own, held until the unit is back.
  int turns = 0;
  turn = [&](Clock::time_point) {
    ++turns;
    EXPECT_FALSE(turn_held.exchange(true));
    return Session::TurnHolder(this, [this](void*) { turn_held = false; });
  };
  ASSERT_EQ(run("update " + file.string()).status, 0);
  EXPECT_EQ(turns, 2);  // into the boot loader, back after cmd_finish
  EXPECT_TRUE(outside_turn.empty());
  EXPECT_FALSE(turn_held);
  turn = nullptr;

  units[0].device.version = 0x0203;
  units[0].boots = false;
  timeouts.boot = std::chrono::milliseconds(500);
  EXPECT_EQ(run("update " + file.string()).status, 5);
  fs::remove(file);
}

// update --all over children that the test plays: what each writes and how it
// ends, a child that cannot start, Ctrl+C.
TEST_F(Commands, UpdateAllReportsEveryUnitWhateverItsChildDid) {
  const std::string file = "-fw.vnxu";  // begins like an option
  const auto bytes = make_vnxu_file("MX-540KTR ", 2, 7, std::vector<uint8_t>(600, 1), {});
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
  struct Child {
    std::vector<std::string> lines;
    long code = 0;     // -1: runs until stopped
  };
  struct Case {
    const char* name;
    std::vector<Child> children;
    size_t start_fails_at = 99;
    bool ctrl_c = false;   // once every child has written its lines
    int status;
    std::vector<std::string> expected;   // in the output or the error stream
  };
  const Case cases[] = {
      {"both updated", {{{"boot", "progress 600 1024", "result 0 2.7"}, 0}, {{"result 0 2.7"}, 0}}, 99, false, 0,
       {"0001: updated to firmware 2.7", "P2: updated to firmware 2.7"}},
      {"a child killed from outside", {{{"result 0 2.7"}, 0}, {{"boot"}, 1}}, 99, false, 4,
       {"P2: failed (status 4): The update process ended without a result (exit status 1); it was left in its "
        "boot loader; run `mx540ctl update --path P2 -- -fw.vnxu` to finish."}},
      {"the second child cannot start", {{{"boot"}, -1}, {{}, -1}}, 1, false, 4,
       {"The update process for P2 could not be started (no memory); the updates already started are stopped.",
        "0001: failed (status 4): Stopped because the update process for P2 could not be started; it was left in",
        "P2: failed (status 4): Its update process could not be started: no memory."}},
      {"Ctrl+C", {{{"boot"}, -1}, {{}, -1}}, 99, true, 4,
       {"Stopped by Ctrl+C.", "0001: failed (status 4): Stopped by Ctrl+C; it was left in its boot loader",
        "P2: failed (status 4): Stopped by Ctrl+C; it may have started its boot loader"}},
  };
  for (const Case& c : cases) {
    units = {unit("0001"), unit("---", "P2")};
    std::vector<std::vector<std::string>> started;
    std::function<void(size_t, long)> end_child;
    std::vector<bool> running;
    bool interrupted = false;
    Io io;
    io.start_children = [&](const std::vector<std::vector<std::string>>& args,
                            std::function<void(size_t, const std::string&)> line,
                            std::function<void(size_t, long)> ended, std::string& error) -> size_t {
      end_child = ended;
      for (size_t i = 0; i < args.size(); ++i) {
        if (i == c.start_fails_at) {
          error = "no memory";
          return i;
        }
        started.push_back(args[i]);
        running.push_back(c.children[i].code < 0);
        for (const std::string& text : c.children[i].lines) loop->post([=] { line(i, text); });
        if (c.children[i].code >= 0) loop->post([=] { ended(i, c.children[i].code); });
      }
      if (c.ctrl_c) loop->post([&] { interrupted = true; });
      return args.size();
    };
    io.stop_children = [&] {
      for (size_t i = 0; i < running.size(); ++i)
        if (running[i]) loop->post([&, i] { end_child(i, 4); });
      running.assign(running.size(), false);
    };
    io.interrupted = [&] { return interrupted; };
    const ToolRun r = run("update --all -- " + file, io);
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.out << r.err;
    for (const std::string& text : c.expected)
      EXPECT_NE((r.out + r.err).find(text), std::string::npos) << c.name << ": " << text << "\n" << r.out << r.err;
    ASSERT_FALSE(started.empty()) << c.name;
    EXPECT_EQ(started[0], (std::vector<std::string>{"update", "--serial", "0001", "--child", "--", file})) << c.name;
    if (started.size() > 1) {
      EXPECT_EQ(started[1], (std::vector<std::string>{"update", "--path", "P2", "--child", "--", file})) << c.name;
    }
  }
  fs::remove(file);
}

}  // namespace
