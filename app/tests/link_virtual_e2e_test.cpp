// The whole link against the virtual MX-540KTR, in-process: the HID library's
// real code over the simulated bus, its read thread delivering the device's
// replies to on_report, device changes pumped on the test's main thread.
#include "USB.h"
#include "fake_hid.h"
#include "link_testing.h"

#include "HidExports.h"
#include "VirtualDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace {

class VirtualLink : public ::testing::Test {
 protected:
  void SetUp() override {
    link_reset_for_tests();
    mxv::TVirtualOptions options;
    options.folder = std::nullopt;
    lib = std::make_unique<mxv::TInprocVirtualLibrary>(options);
    lib->device().control("erase-us 1000");
    lib->device().control("reboot-ms 150");

    TLinkHostFunctions host;
    host.refresh = [this] { ++refreshes; };
    host.post_to_main = main_queue().poster();
    host.cont = [this](bool en) { enabled = en; };
    host.show_device = [this](const TDeviceIdentity& unit) {
      const std::string &n = unit.product, &s = unit.serial, &v = unit.version;
      shown = n + "|" + s + "|" + v;
    };
    host.enable_update_buttons = [this](bool en) { update_buttons = en; };
    host.show_error = [this](const std::string& text) { errors.push_back(text); };
    link_set_host(host);

    // The library is "loaded" already; binding resolves its exports by name.
    TLinkPlatformFunctions platform;
    platform.file_exists = [](const std::string&) { return true; };
    platform.full_path = [](const std::string& name) { return "/virtual/" + name; };
    platform.load_library = [this](const std::string&) -> void* { return lib.get(); };
    platform.resolve = [](void*, const char* name) { return hidlib::resolve_export(name); };
    link_set_platform(platform);
  }
  void TearDown() override {
    // The library's read thread keeps handing reports to on_report until the
    // library ends it: the link lets go of the library first (waiting out a
    // send in progress), and its state is reset only once no report can come.
    link_bind_entries(THIDEntries{}, hid_report_len, false);
    lib.reset();
    link_reset_for_tests();
  }

  // The main thread's loop: device-change messages and the link's tasks.
  bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      lib->loaded().pump_device_changes();
      main_queue().run();
      if (done())
        return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }

  mxv::TSettings device_settings() {
    return lib->device().with_model([](mxv::TDeviceModel& m) { return m.settings(); });
  }

  std::unique_ptr<mxv::TInprocVirtualLibrary> lib;
  std::atomic<int> refreshes{0};
  bool enabled = false;
  bool update_buttons = false;
  std::string shown;
  std::vector<std::string> errors;
};

TEST_F(VirtualLink, FindsTheDeviceShowsItsSettingsAndWritesEdits) {
  ASSERT_TRUE(usb_init());
  EXPECT_TRUE(dev_open);
  EXPECT_FALSE(boot_mode);
  EXPECT_TRUE(enabled);
  EXPECT_EQ(shown, "MX-540KTR|VX540K-000001|1.16");

  // The first read goes out at once; its reply brings the device's record.
  ASSERT_TRUE(pump_until([&] { return refreshes > 0; }));
  const TSettings s = settings_get();
  const mxv::TSettings d = device_settings();
  EXPECT_EQ(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&s), reinterpret_cast<const uint8_t*>(&s) + 29),
            std::vector<uint8_t>(d.begin(), d.end()));

  settings_edit([](TSettings& r) {
    r.preset = 2;
    r.gain[2] = -11;
  });
  save();
  ASSERT_TRUE(pump_until([&] { return device_settings()[9 + 2] == static_cast<uint8_t>(-11); }));
  EXPECT_EQ(device_settings()[0], 2);
  EXPECT_TRUE(errors.empty());
}

TEST_F(VirtualLink, UnplugReplugAndBootReEnumerationThenAnUpdateBlock) {
  ASSERT_TRUE(usb_init());
  ASSERT_TRUE(pump_until([&] { return refreshes > 0; }));

  lib->device().control("unplug");
  ASSERT_TRUE(pump_until([&] { return !dev_open && shown == "||"; }));
  EXPECT_FALSE(enabled);

  lib->device().control("plug");
  ASSERT_TRUE(pump_until([&] { return dev_open.load() && enabled; }));

  // The update dialog's request: the device comes back running its boot loader.
  post_request(cmd_boot_request);
  ASSERT_TRUE(pump_until([&] { return dev_open && boot_mode && update_buttons; }));
  EXPECT_FALSE(enabled);
  EXPECT_EQ(shown.substr(0, 17), "MX-540KTR (boot)|");

  std::vector<uint8_t> block(512);
  for (size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<uint8_t>(i * 13 + 5);
  EXPECT_TRUE(write_flash(0x0400, block.data(), block.size()));
  const auto flash = lib->device().with_model([](mxv::TDeviceModel& m) { return m.flash(); });
  EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin() + 0x0400));
  post_request(cmd_read);  // no reads in boot mode
  const auto log = lib->device().with_model([](mxv::TDeviceModel& m) { return m.log(); });
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2].cmd, cmd_erase);
  EXPECT_EQ(log.back().cmd, cmd_flash);
}

TEST_F(VirtualLink, NoWriteReachesANewConnectionBeforeItsFirstReply) {
  ASSERT_TRUE(usb_init());
  ASSERT_TRUE(pump_until([&] { return refreshes > 0; }));
  lib->device().with_model([](mxv::TDeviceModel& m) {
    m.clear_log();
    return 0;
  });
  lib->device().control("unplug");
  ASSERT_TRUE(pump_until([&] { return !dev_open; }));
  // The new connection's replies are spoilt until the edit is made, so the edit
  // surely comes before its first good reply however the threads are scheduled.
  lib->device().control("corrupt-crc 1000");
  lib->device().control("plug");
  ASSERT_TRUE(pump_until([&] { return dev_open.load() && enabled; }, 5s));
  settings_edit([](TSettings& r) { r.delay[0] = 7; });
  save();
  pump_until([] { return false; }, 100ms);  // time for a write that is not held back to go out
  ASSERT_TRUE(link_writes_held());
  lib->device().control("corrupt-crc 0");
  const int before = refreshes;
  post_request(cmd_read);  // the main window's poll
  ASSERT_TRUE(pump_until([&] { return refreshes > before; }));
  // Each plug gives several device-change messages, so several rescans and reads.
  auto first_write = [&] {
    const auto log = lib->device().with_model([](mxv::TDeviceModel& m) { return m.log(); });
    for (size_t i = 0; i < log.size(); ++i)
      if (log[i].cmd == cmd_write)
        return static_cast<int>(i);
    return -1;
  };
  ASSERT_TRUE(pump_until([&] { return first_write() >= 0; }));
  const auto log = lib->device().with_model([](mxv::TDeviceModel& m) { return m.log(); });
  const int w = first_write();
  ASSERT_GT(w, 0);
  EXPECT_EQ(log[0].cmd, cmd_read);
  // The write went out after a reply, and the edit made on the same unit's
  // values reached it.
  const mxv::TSettings d = device_settings();
  EXPECT_EQ(log[w].payload, std::vector<uint8_t>(d.begin(), d.end()));
  EXPECT_EQ(d[21], 7);
}

TEST_F(VirtualLink, AChangeOnTheUnitShowsAtTheNextPollAfterLostRepliesAndAnEdit) {
  ASSERT_TRUE(usb_init());
  ASSERT_TRUE(pump_until([&] { return refreshes > 0; }));
  // Three polls whose replies are spoilt on the way.
  lib->device().control("corrupt-crc 3");
  for (int i = 0; i < 3; ++i)
    post_request(cmd_read);
  auto armed = [&] { return lib->device().with_model([](mxv::TDeviceModel& m) { return m.faults.corrupt_crc; }); };
  for (int polls = 0; armed() > 0 && polls < 10; ++polls) {
    post_request(cmd_read);
    pump_until([] { return false; }, 50ms);
  }
  ASSERT_EQ(armed(), 0u);
  settings_edit_and_save([](TSettings& r) {
    r.gain[0] = -6;
    return true;
  });
  ASSERT_TRUE(pump_until([&] { return device_settings()[9] == static_cast<uint8_t>(-6); }));

  // Changed on the unit itself: the first poll after the write shows it.
  auto changed = device_settings();
  changed[21] = 9;
  std::string hex;
  for (uint8_t b : changed) {
    static const char digits[] = "0123456789ABCDEF";
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  ASSERT_EQ(lib->device().control("settings " + hex), "ok");
  int polls = 0;
  while (settings_get().delay[0] != 9 && polls < 5) {
    const int before = refreshes;
    post_request(cmd_read);
    ++polls;
    ASSERT_TRUE(pump_until([&] { return refreshes > before; }));
  }
  EXPECT_EQ(polls, 1);
  EXPECT_EQ(settings_get().gain[0], -6);
}

}  // namespace
