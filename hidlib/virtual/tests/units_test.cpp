// Several virtual units on one bus, and several processes simulating the same
// units over shared folders: each unit has its own serial and state, and only
// the process that has a unit open writes its folder and runs its commands.
#include "HostSide.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>

using namespace mxv;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5000ms) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until)
      return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// One process's view: a bus with both units, its name in owner.txt.
struct TProcess {
  hidlib::SimPlatform bus;
  std::vector<std::shared_ptr<TVirtualMx540>> units;

  TProcess(const fs::path& folder, const std::string& name, std::function<bool(const std::string&)> alive) {
    for (unsigned unit = 1; unit <= 2; ++unit) {
      TVirtualOptions options;
      options.folder = folder;
      options.unit = unit;
      options.owner_id = name;
      options.owner_alive = alive;
      units.push_back(std::make_shared<TVirtualMx540>(bus, options));
      units.back()->start();
    }
  }
  ~TProcess() {
    for (auto& unit : units)
      unit->stop();
  }
  // HIDopenDevice on the unit; its handle stays open.
  bool open(unsigned unit) {
    return bus.open(units[unit - 1]->config().path, hidlib::OpenMode::ReadWrite) != HID_NO_HANDLE;
  }
  bool send(unsigned unit, uint8_t cmd, const std::vector<uint8_t>& payload) {
    bool all = true;
    for (auto report : hostside::host_reports(cmd, payload))
      all = units[unit - 1]->on_output_report(report.data(), report.size(), hidlib::OutputPath::Control) && all;
    return all;
  }
  TSettings settings(unsigned unit) {
    return units[unit - 1]->with_model([](TDeviceModel& m) { return m.settings(); });
  }
  uint16_t version(unsigned unit) {
    return units[unit - 1]->with_model([](TDeviceModel& m) { return m.version(); });
  }
};

TEST(VirtualUnits, EachUnitHasItsOwnStateAndIsDrivenByTheProcessThatOpenedIt) {
  EXPECT_EQ(units_from_text(nullptr), 1u);
  EXPECT_EQ(units_from_text("3"), 3u);
  for (const char* bad : {"", "0", "-2", "2x", "33"})
    EXPECT_EQ(units_from_text(bad), 1u) << bad;

  const fs::path folder = fs::temp_directory_path() /
                          ("mx540-units-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(folder);
  // Asked on the units' service threads.
  std::mutex alive_mutex;
  std::set<std::string> alive = {"A", "B"};
  auto is_alive = [&](const std::string& name) {
    std::lock_guard lock(alive_mutex);
    return alive.count(name) > 0;
  };
  {
    TProcess a(folder, "A", is_alive);
    TProcess b(folder, "B", is_alive);
    // Two units on each bus, told apart by serial, path and folder.
    ASSERT_EQ(a.bus.plugged().size(), 2u);
    EXPECT_EQ(a.units[0]->config().serial, "VX540K-000001");
    EXPECT_EQ(a.units[1]->config().serial, "VX540K-000002");
    EXPECT_NE(a.units[0]->config().path, a.units[1]->config().path);
    EXPECT_TRUE(fs::is_directory(folder / "unit2" / "control"));
    // A came first and drives both folders until a host opens a unit elsewhere.
    EXPECT_TRUE(a.units[1]->drives_folder());
    EXPECT_FALSE(b.units[1]->drives_folder());

    // B opens unit 2 and writes its settings: only unit 2's folder changes.
    ASSERT_TRUE(b.open(2));
    EXPECT_TRUE(b.units[1]->drives_folder());
    TSettings record = default_settings();
    record[9] = 0x05;  // gain of preset 1: 5 dB
    ASSERT_TRUE(b.send(2, cmd_write, std::vector<uint8_t>(record.begin(), record.end())));
    const std::string expected(record.begin(), record.end());
    ASSERT_TRUE(wait_until([&] { return read_text(folder / "unit2" / "settings.bin") == expected; }));
    EXPECT_TRUE(wait_until([&] { return !a.units[1]->drives_folder(); }));  // A has noticed
    const TSettings factory = default_settings();
    EXPECT_EQ(read_text(folder / "settings.bin"), std::string(factory.begin(), factory.end()));

    // Unit 2's commands run in B, the process that has it open; unit 1's in A.
    std::ofstream(folder / "unit2" / "control" / "01.cmd") << "version 3.4\n";
    std::ofstream(folder / "control" / "01.cmd") << "version 2.9\n";
    ASSERT_TRUE(wait_until([&] { return b.version(2) == 0x0304 && a.version(1) == 0x0209; }));
    EXPECT_TRUE(wait_until([&] { return !fs::exists(folder / "unit2" / "control" / "01.cmd"); }));
    EXPECT_EQ(a.version(2), factory_version);
    EXPECT_EQ(b.version(1), factory_version);

    // A opens unit 2 in turn: it takes up the state B left there.
    ASSERT_TRUE(wait_until([&] { return read_text(folder / "unit2" / "version.txt") == "3.4\n"; }));
    ASSERT_TRUE(a.open(2));
    EXPECT_EQ(a.settings(2), record);
    EXPECT_EQ(a.version(2), 0x0304);
    EXPECT_TRUE(wait_until([&] { return !b.units[1]->drives_folder(); }));

    // A ends without a word: its units' folders become anyone's, and commands
    // for unit 1, which no one has open now, still run.
    for (auto& unit : a.units)
      unit->stop();
    {
      std::lock_guard lock(alive_mutex);
      alive.erase("A");
    }
    std::ofstream(folder / "control" / "02.cmd") << "version 4.1\n";
    ASSERT_TRUE(wait_until([&] { return b.version(1) == 0x0401; }));
    EXPECT_EQ(read_text(folder / "owner.txt"), "B\n");
  }
  // The owner's name goes with its process.
  EXPECT_FALSE(fs::exists(folder / "owner.txt"));
  fs::remove_all(folder);
}

// Two libraries in one process hand a unit back and forth faster than either
// looks at the folder on its own (A never does here): whoever opens the unit
// takes up what the other left, faults and timing included, and never writes
// its own older state over it.
TEST(VirtualUnits, OpeningTakesUpTheStateTheOtherProcessLeftHoweverSoon) {
  const fs::path folder = fs::temp_directory_path() /
                          ("mx540-handover-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  fs::remove_all(folder);
  {
    hidlib::SimPlatform bus_a, bus_b;
    auto make = [&](hidlib::SimPlatform& bus, const char* name, uint32_t poll_ms) {
      TVirtualOptions options;
      options.folder = folder;
      options.owner_id = name;
      options.owner_alive = [](const std::string&) { return true; };
      options.control_poll_ms = poll_ms;
      auto unit = std::make_shared<TVirtualMx540>(bus, options);
      unit->start();
      return unit;
    };
    auto a = make(bus_a, "A", 600000), b = make(bus_b, "B", 20);
    auto session = [](hidlib::SimPlatform& bus, TVirtualMx540& unit, uint8_t gain, const char* control) {
      const auto h = bus.open(unit.config().path, hidlib::OpenMode::ReadWrite);
      ASSERT_NE(h, HID_NO_HANDLE);
      TSettings record = unit.with_model([](TDeviceModel& m) { return m.settings(); });
      record[9] = gain;
      for (auto report : hostside::host_reports(cmd_write, std::vector<uint8_t>(record.begin(), record.end())))
        unit.on_output_report(report.data(), report.size(), hidlib::OutputPath::Control);
      if (control) {
        EXPECT_EQ(unit.control(control), "ok");
      }
      bus.close(h);
    };
    const auto in_a = [&](auto f) { return a->with_model(f); };

    session(bus_a, *a, 1, nullptr);
    session(bus_b, *b, 2, "corrupt-crc 3");
    session(bus_b, *b, 3, "transfer-us 7000");
    // A opens at once: B's record, faults and timing, not A's own copy.
    const auto h = bus_a.open(a->config().path, hidlib::OpenMode::ReadWrite);
    ASSERT_NE(h, HID_NO_HANDLE);
    EXPECT_EQ(in_a([](TDeviceModel& m) { return m.settings()[9]; }), 3);
    EXPECT_EQ(in_a([](TDeviceModel& m) { return m.faults.corrupt_crc; }), 2u);  // B's second write spent one
    EXPECT_EQ(in_a([](TDeviceModel& m) { return m.timing.report_us; }), 7000u);
    a->control("version 2.4");
    a->flush();
    bus_a.close(h);
    EXPECT_EQ(read_text(folder / "settings.bin")[9], 3);
    EXPECT_EQ(read_text(folder / "version.txt"), "2.4\n");
    // And back to B, which drove the unit before A: it takes up A's version.
    session(bus_b, *b, 4, nullptr);
    EXPECT_EQ(b->with_model([](TDeviceModel& m) { return m.version(); }), 0x0204);
    a->stop();
    b->stop();
  }
  fs::remove_all(folder);
}

}  // namespace
