// The state folder: what the device writes there, what it takes back at start,
// and which command files it runs.
#include "StateFolder.h"
#include "HostSide.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <thread>

using namespace mxv;
using namespace mxv::hostside;
namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_text(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class StateFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("mx540-state-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
    folder.emplace(dir);
    ASSERT_TRUE(folder->prepare());
  }
  void TearDown() override { fs::remove_all(dir); }

  fs::path dir;
  std::optional<TStateFolder> folder;
};

}  // namespace

TEST_F(StateFolderTest, FlushWritesEveryPartAndLaterOnlyWhatChanged) {
  TDeviceModel model;
  send(model, cmd_write, std::vector<uint8_t>(29, 4), 12);
  folder->flush(model);
  EXPECT_EQ(read_text(dir / "settings.bin"), std::string(29, '\x04'));
  EXPECT_EQ(read_text(dir / "flash.bin").size(), flash_size);
  EXPECT_EQ(read_text(dir / "eeprom.bin"), std::string(eeprom_size, '\xFF'));
  EXPECT_EQ(read_text(dir / "version.txt"), "1.16\n");
  const std::string device = read_text(dir / "device.txt");
  EXPECT_NE(device.find("present=1\n"), std::string::npos);
  EXPECT_NE(device.find("mode=normal\n"), std::string::npos);
  EXPECT_NE(device.find("product=MX-540KTR\n"), std::string::npos);
  EXPECT_NE(device.find("frames_received=1\n"), std::string::npos);
  std::string payload_hex;
  for (int i = 0; i < 29; ++i)
    payload_hex += "04";
  EXPECT_EQ(read_text(dir / "frames.log"),
            "seq=1 t=12 mode=normal status=handled cmd=0x80 len=29 payload=" + payload_hex + "\n");
  for (const auto& entry : fs::directory_iterator(dir))
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();

  // Unchanged parts are not written again; a changed one is.
  fs::remove(dir / "flash.bin");
  fs::remove(dir / "settings.bin");
  folder->flush(model);
  EXPECT_FALSE(fs::exists(dir / "flash.bin"));
  EXPECT_FALSE(fs::exists(dir / "settings.bin"));
  model.control("settings 0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d", 0);
  folder->flush(model);
  EXPECT_EQ(read_text(dir / "settings.bin").size(), 29u);
  EXPECT_FALSE(fs::exists(dir / "flash.bin"));
}

TEST_F(StateFolderTest, FrameLogGrowsAcrossFlushesAndStartsAnewAfterClearLog) {
  TDeviceModel model;
  send(model, cmd_read, {}, 1);
  folder->flush(model);
  send(model, cmd_read, {}, 2);
  send(model, 0x42, {}, 3);
  folder->flush(model);
  folder->flush(model);
  const std::string log = read_text(dir / "frames.log");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3) << log;
  EXPECT_EQ(log.find("seq=1 t=1 "), 0u) << log;
  EXPECT_NE(log.find("\nseq=2 t=2 "), std::string::npos) << log;
  EXPECT_NE(log.find("\nseq=3 t=3 mode=normal status=ignored cmd=0x42"), std::string::npos) << log;

  model.control("clear-log", 0);
  folder->flush(model);
  EXPECT_EQ(read_text(dir / "frames.log"), "");
  send(model, cmd_read, {}, 9);
  folder->flush(model);
  EXPECT_EQ(read_text(dir / "frames.log"), "seq=1 t=9 mode=normal status=handled cmd=0x00 len=0 payload=\n");

  // Cleared and refilled past the old numbers between two flushes.
  model.control("clear-log", 0);
  for (int t = 20; t < 25; ++t)
    send(model, cmd_read, {}, static_cast<uint64_t>(t));
  folder->flush(model);
  const std::string refilled = read_text(dir / "frames.log");
  EXPECT_EQ(std::count(refilled.begin(), refilled.end(), '\n'), 5) << refilled;
  EXPECT_EQ(refilled.find("seq=1 t=20 "), 0u) << refilled;
}

TEST_F(StateFolderTest, LoadTakesWholeFilesAndLeavesTheRestAtFactoryState) {
  struct Case {
    const char* name;
    std::string settings, flash, version;
    bool settings_taken, flash_taken;
    uint16_t version_taken;
  };
  const std::string record(29, '\x02');
  const std::string image(flash_size, '\x33');
  const std::vector<Case> cases = {
      {"all whole", record, image, "2.7\n", true, true, 0x0207},
      {"short settings file", record.substr(0, 28), image, "2.7", false, true, 0x0207},
      {"long flash file", record, image + "x", "2.7", true, false, 0x0207},
      {"version not a version", record, image, "two", true, true, factory_version},
      {"version with junk after it", record, image, "2.7beta", true, true, factory_version},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_text(dir / "settings.bin", c.settings);
    write_text(dir / "flash.bin", c.flash);
    write_text(dir / "version.txt", c.version);
    TDeviceModel model;
    folder->load(model);
    EXPECT_EQ(model.settings() == default_settings(), !c.settings_taken);
    EXPECT_EQ(model.flash()[100] == 0x33, c.flash_taken);
    EXPECT_EQ(model.version(), c.version_taken);
    EXPECT_EQ(model.eeprom(), std::vector<uint8_t>(eeprom_size, 0xFF));
  }
}

// What control commands armed, and the mode the unit was left in, come back
// to whichever model loads the folder next.
TEST_F(StateFolderTest, TimingFaultsAndModeComeBackFromDeviceTxt) {
  TDeviceModel before;
  for (const char* line : {"transfer-us 7000", "erase-us 300", "reboot-ms 50", "refuse-from 9", "corrupt-crc 2",
                           "drop-piece 1 3", "no-finish-reply 4", "bad-settings 5", "short-settings 12 6",
                           "stall 2500", "boot"})
    ASSERT_EQ(before.control(line, 0), "ok") << line;
  before.poll(10000);  // back on the bus as the boot loader
  folder->flush(before);
  TDeviceModel after;
  folder->load(after);
  EXPECT_EQ(after.faults, before.faults);
  EXPECT_EQ(after.timing.report_us, 7000u);
  EXPECT_EQ(after.timing.erase_us, 300u);
  EXPECT_EQ(after.timing.reboot_ms, 50u);
  EXPECT_EQ(folder->saved_mode(), TMode::boot);
}

TEST_F(StateFolderTest, OnlyFinishedCommandFilesRunInNameOrder) {
  write_text(dir / "control" / "20-second.cmd", "plug\r\nclear\n");
  write_text(dir / "control" / "10-first.cmd", "unplug\n");
  write_text(dir / "control" / "30-unfinished.cmd", "replug");  // still being written
  write_text(dir / "control" / "40-other.txt", "unplug\n");
  write_text(dir / "control" / "50-renamed-later.cmd.part", "unplug\n");
  const auto files = folder->ready_commands();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, "10-first.cmd");
  EXPECT_EQ(files[0].lines, std::vector<std::string>{"unplug"});
  EXPECT_EQ(files[1].name, "20-second.cmd");
  EXPECT_EQ(files[1].lines, (std::vector<std::string>{"plug", "clear"}));

  folder->finish_command(files[0], {"ok"});
  folder->finish_command(files[1], {"ok", "error: x"});
  EXPECT_FALSE(fs::exists(dir / "control" / "10-first.cmd"));
  EXPECT_FALSE(fs::exists(dir / "control" / "20-second.cmd"));
  EXPECT_TRUE(fs::exists(dir / "control" / "30-unfinished.cmd"));
  EXPECT_EQ(read_text(dir / "control.log"),
            "10-first.cmd: unplug -> ok\n20-second.cmd: plug -> ok\n20-second.cmd: clear -> error: x\n");
  EXPECT_EQ(folder->ready_commands().size(), 0u);
}

TEST_F(StateFolderTest, AtomicWriteReplacesAnExistingFileWhole) {
  write_text(dir / "x.bin", std::string(1000, 'a'));
  ASSERT_TRUE(write_atomically(dir / "x.bin", "bb"));
  EXPECT_EQ(read_text(dir / "x.bin"), "bb");
  EXPECT_FALSE(write_atomically(dir / "missing-folder" / "x.bin", "c"));

  // Two writers of one file (two libraries, two processes) at once: each
  // write lands whole, none fails, a reader never sees a mixture.
  const std::string as(4000, 'a'), bs(3000, 'b');
  ASSERT_TRUE(write_atomically(dir / "x.bin", as));
  std::atomic<int> failed{0}, torn{0};
  std::atomic<bool> writing{true};
  auto writer = [&](const std::string& text) {
    for (int i = 0; i < 100; ++i)
      if (!write_atomically(dir / "x.bin", text)) ++failed;
  };
  // As the device's own readers read (on Windows a file being replaced may
  // not open for a moment; what opens is whole).
  std::thread reader([&] {
    while (writing) {
      std::string now;
      if (read_whole_file(dir / "x.bin", now) && now != as && now != bs) ++torn;
    }
  });
  std::thread first(writer, as), second(writer, bs);
  first.join();
  second.join();
  writing = false;
  reader.join();
#if !defined(_WIN32)
  // Windows may refuse a rename onto a file another rename is replacing at
  // that moment; refused or not, no write is ever seen torn.
  EXPECT_EQ(failed, 0);
#endif
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "temporary files left";
}

TEST(FrameLog, OneLinePerFrameWithStatusCommandPayloadAndNote) {
  TDeviceModel model;
  send(model, cmd_read, {}, 1);
  send(model, cmd_erase, address_payload(0x0200), 2);  // not a command of normal mode
  const std::string log = format_frame_log(model.log());
  EXPECT_EQ(log,
            "seq=1 t=1 mode=normal status=handled cmd=0x00 len=0 payload=\n"
            "seq=2 t=2 mode=normal status=ignored cmd=0xF0 len=2 payload=0200 note=not a command of normal mode\n");
}
