// The virtual MX-540KTR through the HID library's 18 exports, in-process: what
// a host sees of it (binding, scan, open, reports, re-enumeration, a whole
// firmware update) and what each fault does, scripted through the state folder
// as a test or demo does while the control panel runs.
#include "HostHarness.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

using namespace mxv;
using namespace mxv::hostside;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> read_bytes(const fs::path& path) {
  const std::string s = read_text(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

class VirtualDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = fs::temp_directory_path() /
             ("mx540-virtual-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder);
    TVirtualOptions options;
    options.folder = folder;
    lib = std::make_unique<TInprocVirtualLibrary>(options);
    host = std::make_unique<THostHarness>();
    // Quick updates for tests; the timing itself has its own test.
    device().control("erase-us 1000");
    device().control("reboot-ms 150");
  }
  void TearDown() override {
    host.reset();
    lib.reset();
    fs::remove_all(folder);
  }

  TVirtualMx540& device() { return lib->device(); }
  void pump() { lib->loaded().pump_device_changes(); }
  bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 3000ms) {
    return THostHarness::wait_until(done, [this] { pump(); }, timeout);
  }

  // Waits for the device to go and come back, then opens it again.
  bool reenumerated(int changes_before) {
    return wait_until([&] { return host->device_changes() >= changes_before + 6; }) &&
           wait_until([] { return THostHarness::find_vornix() >= 0; }) && THostHarness::open_vornix();
  }

  bool enter_boot() {
    const int before = host->device_changes();
    if (!THostHarness::open_vornix() || !THostHarness::send(cmd_boot_request))
      return false;
    THIDDeviceInfo info;
    return reenumerated(before) && THostHarness::open_vornix(&info) && hid_text(info.Product) == "MX-540KTR (boot)";
  }

  // A command file dropped into the control folder, as a script writes it.
  void script(const std::string& name, const std::string& lines) {
    std::ofstream(folder / "control" / (name + ".part")) << lines;
    fs::rename(folder / "control" / (name + ".part"), folder / "control" / (name + ".cmd"));
  }
  bool script_done() {
    return wait_until([&] { return !device().commands_pending(); });
  }

  fs::path folder;
  std::unique_ptr<TInprocVirtualLibrary> lib;
  std::unique_ptr<THostHarness> host;
};

}  // namespace

TEST_F(VirtualDeviceTest, AllEighteenExportsResolveByName) {
  for (const char* name : HID_EXPORT_NAMES)
    EXPECT_NE(hidlib::resolve_export(name), nullptr) << name;
}

TEST_F(VirtualDeviceTest, ScanListsOneVornixDeviceWithItsIdentityAndReportLayout) {
  ASSERT_EQ(HIDscanForDevices(), 1);
  THIDDeviceInfo info;
  HIDGetDeviceInfo(0, &info);
  EXPECT_EQ(hid_text(info.Manufacturer), "VORNIX");
  EXPECT_EQ(hid_text(info.Product), "MX-540KTR");
  EXPECT_EQ(hid_text(info.SerialNumber), serial_number);
  EXPECT_EQ(info.VersionNumber, 0x0110);
  EXPECT_NE(info.VendorID, 0);
  EXPECT_NE(info.ProductID, 0);
  EXPECT_EQ(info.OutputReportByteLength, 65);
  EXPECT_EQ(info.InputReportByteLength, 65);
  EXPECT_EQ(info.ReadWrite, 1);
  EXPECT_EQ(info.DeviceHandle, HID_NO_HANDLE);
  ASSERT_GT(info.DevicePath.Length, 1);
  EXPECT_EQ(info.DevicePath.Text[info.DevicePath.Length - 1], '\0');

  ASSERT_TRUE(HIDopenDevice(0));
  EXPECT_EQ(HIDOutputReportSize(), 65);
  EXPECT_EQ(HIDInputReportSize(), 65);
  EXPECT_EQ(HIDOutputReportCount(1), 64);
  EXPECT_EQ(HIDInputReportCount(1), 64);
}

TEST_F(VirtualDeviceTest, ReadAndWriteRequestsAreAnsweredThroughTheReportHandler) {
  ASSERT_TRUE(THostHarness::open_vornix());
  ASSERT_TRUE(THostHarness::send(cmd_read));
  auto reply = host->reply(0x00);
  ASSERT_TRUE(reply);
  const TSettings defaults = default_settings();
  EXPECT_EQ(reply->payload, std::vector<uint8_t>(defaults.begin(), defaults.end()));

  std::vector<uint8_t> record(29);
  for (size_t i = 0; i < record.size(); ++i)
    record[i] = static_cast<uint8_t>(i % 4);
  ASSERT_TRUE(THostHarness::send(cmd_write, record));
  reply = host->reply(0x80);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, record);
  ASSERT_TRUE(THostHarness::send(cmd_read));
  reply = host->reply(0x00);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, record);

  // The state folder shows the stored record and the frames received.
  device().flush();
  EXPECT_EQ(read_bytes(folder / "settings.bin"), record);
  const std::string log = read_text(folder / "frames.log");
  EXPECT_NE(log.find("cmd=0x80 len=29 payload=0001020300010203"), std::string::npos) << log;
}

TEST_F(VirtualDeviceTest, BootRequestReenumeratesAsBootLoaderWithSeveralDeviceChangesEachWay) {
  device().control("reboot-ms 600");  // room to look at the empty bus
  ASSERT_TRUE(THostHarness::open_vornix());
  ASSERT_TRUE(THostHarness::send(cmd_boot_request));

  // Gone: several device changes, an empty scan, and the old handle dead.
  ASSERT_TRUE(wait_until([&] { return host->device_changes() >= 3; }));
  EXPECT_EQ(host->device_changes(), 3);
  EXPECT_EQ(THostHarness::find_vornix(), -1);
  EXPECT_EQ(THostHarness::send(cmd_read), false);

  // Back, after a pause, as the boot loader.
  ASSERT_TRUE(wait_until([&] { return host->device_changes() >= 6; }));
  THIDDeviceInfo info;
  ASSERT_TRUE(THostHarness::open_vornix(&info));
  EXPECT_EQ(hid_text(info.Product), "MX-540KTR (boot)");
  EXPECT_EQ(hid_text(info.Manufacturer), "VORNIX");
  EXPECT_EQ(info.VersionNumber, 0x0110);
  device().flush();
  EXPECT_NE(read_text(folder / "device.txt").find("mode=boot"), std::string::npos);
}

TEST_F(VirtualDeviceTest, CompleteUpdateLeavesFlashAndEepromAsSentAndBringsTheNewVersion) {
  ASSERT_TRUE(enter_boot());

  std::mt19937 random(540);
  std::vector<uint8_t> flash(2500), eeprom(700);
  for (auto& b : flash)
    b = static_cast<uint8_t>(random());
  for (auto& b : eeprom)
    b = static_cast<uint8_t>(random());
  const std::string marker = "VORNIX MX-540KTR VERSION=2.4";
  std::copy(marker.begin(), marker.end(), flash.begin() + 1000);

  // As the update dialog sends them: 512-byte blocks padded with 0xFF, each
  // flash block after an erase of its page.
  auto blocks = [](const std::vector<uint8_t>& image) {
    std::vector<uint8_t> padded(image);
    padded.resize((image.size() + 511) / 512 * 512, 0xFF);
    return padded;
  };
  const auto flash_sent = blocks(flash), eeprom_sent = blocks(eeprom);
  for (size_t a = 0; a < flash_sent.size(); a += 512) {
    std::vector<uint8_t> erase(2);
    put_be16(erase.data(), static_cast<uint16_t>(a));
    ASSERT_TRUE(THostHarness::send(cmd_erase, erase));
    std::vector<uint8_t> block(4);
    put_be16(&block[0], static_cast<uint16_t>(a));
    put_be16(&block[2], 512);
    block.insert(block.end(), flash_sent.begin() + static_cast<std::ptrdiff_t>(a),
                 flash_sent.begin() + static_cast<std::ptrdiff_t>(a + 512));
    ASSERT_TRUE(THostHarness::send(cmd_flash, block));
  }
  for (size_t a = 0; a < eeprom_sent.size(); a += 512) {
    std::vector<uint8_t> block(4);
    put_be16(&block[0], static_cast<uint16_t>(a));
    put_be16(&block[2], 512);
    block.insert(block.end(), eeprom_sent.begin() + static_cast<std::ptrdiff_t>(a),
                 eeprom_sent.begin() + static_cast<std::ptrdiff_t>(a + 512));
    ASSERT_TRUE(THostHarness::send(cmd_eeprom, block));
  }
  const int before = host->device_changes();
  ASSERT_TRUE(THostHarness::send(cmd_finish));
  ASSERT_TRUE(host->reply(0xFA));

  ASSERT_TRUE(reenumerated(before));
  THIDDeviceInfo info;
  ASSERT_TRUE(THostHarness::open_vornix(&info));
  EXPECT_EQ(hid_text(info.Product), "MX-540KTR");
  EXPECT_EQ(info.VersionNumber, 0x0204);

  device().with_model([&](const TDeviceModel& m) {
    EXPECT_TRUE(m.device_faults().empty());
    EXPECT_TRUE(std::equal(flash_sent.begin(), flash_sent.end(), m.flash().begin()));
    EXPECT_TRUE(std::equal(eeprom_sent.begin(), eeprom_sent.end(), m.eeprom().begin()));
  });
  device().flush();
  const auto flash_file = read_bytes(folder / "flash.bin");
  const auto eeprom_file = read_bytes(folder / "eeprom.bin");
  ASSERT_EQ(flash_file.size(), flash_size);
  ASSERT_EQ(eeprom_file.size(), eeprom_size);
  EXPECT_TRUE(std::equal(flash_sent.begin(), flash_sent.end(), flash_file.begin()));
  EXPECT_TRUE(std::equal(eeprom_sent.begin(), eeprom_sent.end(), eeprom_file.begin()));
  EXPECT_EQ(read_text(folder / "version.txt"), "2.4\n");
}

TEST_F(VirtualDeviceTest, VersionSetThroughTheControlShowsAtTheNextScan) {
  THIDDeviceInfo info;
  ASSERT_GE(THostHarness::find_vornix(&info), 0);
  EXPECT_EQ(info.VersionNumber, 0x0110);
  ASSERT_EQ(device().control("version 2.9"), "ok");
  ASSERT_GE(THostHarness::find_vornix(&info), 0);
  EXPECT_EQ(info.VersionNumber, 0x0209);
}

TEST_F(VirtualDeviceTest, StateOfAnEarlierRunIsTakenUpAtStart) {
  ASSERT_TRUE(THostHarness::open_vornix());
  const std::vector<uint8_t> record(29, 1);
  ASSERT_TRUE(THostHarness::send(cmd_write, record));
  ASSERT_TRUE(host->reply(0x80));
  device().control("version 3.1");
  host.reset();
  lib.reset();  // the folder stays

  lib = std::make_unique<TInprocVirtualLibrary>(TVirtualOptions{folder});
  host = std::make_unique<THostHarness>();
  THIDDeviceInfo info;
  ASSERT_TRUE(THostHarness::open_vornix(&info));
  EXPECT_EQ(info.VersionNumber, 0x0301);
  ASSERT_TRUE(THostHarness::send(cmd_read));
  const auto reply = host->reply(0x00);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->payload, record);
}

TEST_F(VirtualDeviceTest, ScriptedUnplugAndReplugReachTheHostAsDeviceChanges) {
  ASSERT_TRUE(THostHarness::open_vornix());
  script("10-unplug", "unplug\n");
  ASSERT_TRUE(script_done());
  ASSERT_TRUE(wait_until([&] { return host->device_changes() >= 3; }));
  EXPECT_EQ(THostHarness::find_vornix(), -1);
  EXPECT_FALSE(THostHarness::send(cmd_read));

  script("20-plug", "plug\n");
  ASSERT_TRUE(wait_until([&] { return host->device_changes() >= 6; }));
  ASSERT_TRUE(THostHarness::open_vornix());
  ASSERT_TRUE(THostHarness::send(cmd_read));
  EXPECT_TRUE(host->reply(0x00));

  script("30-replug", "replug 100\n# comment\nnonsense\n");
  ASSERT_TRUE(script_done());
  ASSERT_TRUE(wait_until([&] { return host->device_changes() >= 12; }));
  EXPECT_GE(THostHarness::find_vornix(), 0);
  const std::string log = read_text(folder / "control.log");
  EXPECT_NE(log.find("10-unplug.cmd: unplug -> ok"), std::string::npos) << log;
  EXPECT_NE(log.find("30-replug.cmd: replug 100 -> ok"), std::string::npos) << log;
  EXPECT_NE(log.find("30-replug.cmd: nonsense -> error: unknown command"), std::string::npos) << log;
}

TEST_F(VirtualDeviceTest, RefusedOutputReportsFailTheHostsCall) {
  ASSERT_TRUE(THostHarness::open_vornix());
  script("refuse", "refuse-from 2\n");
  ASSERT_TRUE(script_done());
  EXPECT_TRUE(THostHarness::send(cmd_read));
  EXPECT_TRUE(host->reply(0x00));
  EXPECT_FALSE(THostHarness::send(cmd_read));
  EXPECT_FALSE(host->reply(0x00, 100ms));
  device().control("clear");
  EXPECT_TRUE(THostHarness::send(cmd_read));
}

TEST_F(VirtualDeviceTest, ReplyFaultsReachTheHostAsTheyWouldFromHardware) {
  struct Case {
    const char* command;
    int bad_frames;          // frames the host's checks drop
    bool answered;           // a good 0x00 reply arrives
    size_t payload_length;   // of that reply
    bool out_of_range;       // its values lie outside the fields' ranges
  };
  const std::vector<Case> cases = {
      {"corrupt-crc", 1, false, 0, false},
      {"drop-piece 0", 0, false, 0, false},
      {"bad-settings", 0, true, 29, true},
      {"short-settings 20", 0, true, 20, false},
  };
  ASSERT_TRUE(THostHarness::open_vornix());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const int bad_before = host->bad_frames();
    ASSERT_EQ(device().control(c.command), "ok");
    ASSERT_TRUE(THostHarness::send(cmd_read));
    const auto reply = host->reply(0x00, c.answered ? 2000ms : 200ms);
    // A dropped frame is counted when its last report has arrived, which on a
    // busy machine can be after the wait for a reply has run out.
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (host->bad_frames() - bad_before < c.bad_frames && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(1ms);
    EXPECT_EQ(host->bad_frames() - bad_before, c.bad_frames);
    ASSERT_EQ(reply.has_value(), c.answered);
    if (reply) {
      EXPECT_EQ(reply->payload.size(), c.payload_length);
      EXPECT_EQ(reply->payload[0] >= 4 && reply->payload[9] == 0x80, c.out_of_range);
    }
    // The fault was for one reply: the next one is whole and good.
    ASSERT_TRUE(THostHarness::send(cmd_read));
    const auto next = host->reply(0x00);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->payload.size(), 29u);
  }
}

TEST_F(VirtualDeviceTest, UnansweredFinishLeavesTheDeviceInItsBootLoader) {
  ASSERT_TRUE(enter_boot());
  device().control("no-finish-reply");
  const int before = host->device_changes();
  ASSERT_TRUE(THostHarness::send(cmd_finish));
  EXPECT_FALSE(host->reply(0xFA, 500ms));
  pump();
  EXPECT_EQ(host->device_changes(), before);
  THIDDeviceInfo info;
  ASSERT_TRUE(THostHarness::open_vornix(&info));
  EXPECT_EQ(hid_text(info.Product), "MX-540KTR (boot)");

  // "Закрыть" sends cmd_update_close: back to the firmware, version unchanged.
  ASSERT_TRUE(THostHarness::send(cmd_update_close));
  ASSERT_TRUE(reenumerated(before));
  ASSERT_TRUE(THostHarness::open_vornix(&info));
  EXPECT_EQ(hid_text(info.Product), "MX-540KTR");
  EXPECT_EQ(info.VersionNumber, 0x0110);
}

TEST_F(VirtualDeviceTest, ResetInTheBootLoaderRestoresDefaults) {
  ASSERT_TRUE(THostHarness::open_vornix());
  ASSERT_TRUE(THostHarness::send(cmd_write, std::vector<uint8_t>(29, 2)));
  ASSERT_TRUE(host->reply(0x80));
  ASSERT_TRUE(enter_boot());
  ASSERT_TRUE(THostHarness::send(cmd_reset));
  ASSERT_TRUE(host->reply(0xFD));
  device().with_model([](const TDeviceModel& m) { EXPECT_EQ(m.settings(), default_settings()); });
}

TEST_F(VirtualDeviceTest, TransfersTakeTheConfiguredTime) {
  ASSERT_TRUE(THostHarness::open_vornix());
  device().control("transfer-us 2000");
  // A 521-byte flash frame is 9 reports; in normal mode it is ignored but still travels.
  const std::vector<uint8_t> block(516, 0);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(THostHarness::send(cmd_flash, block));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 18ms);
  EXPECT_LT(elapsed, 500ms);
}
