// Binding (writing, loading and resolving the library) and device discovery,
// over an in-process library table and a simulated file system.
#include "USB.h"
#include "fake_hid.h"
#include "link_testing.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::vector<uint8_t> resource_bytes = {'M', 'Z', 0x90, 0x00, 'H', 'I', 'D', 0xFF, 0x00, 0x01};

// The current folder and the program's resource, as the binding sees them.
struct TFakeFiles {
  std::map<std::string, std::vector<uint8_t>> files;
  bool resource_present = true;
  std::string write_error;   // non-empty: writing fails with this text
  bool loadable = true;
  std::set<std::string> missing_exports;
  std::vector<std::string> loaded_paths;
  std::vector<std::string> resolved;
  int writes = 0;

  TLinkPlatformFunctions platform() {
    TLinkPlatformFunctions p;
    p.file_exists = [this](const std::string& name) { return files.count(name) > 0; };
    p.read_own_resource = [this](std::vector<uint8_t>& bytes) {
      if (resource_present)
        bytes = resource_bytes;
      return resource_present;
    };
    p.write_file = [this](const std::string& name, const std::vector<uint8_t>& bytes) {
      ++writes;
      if (!write_error.empty())
        throw std::runtime_error(write_error);
      files[name] = bytes;
    };
    p.full_path = [](const std::string& name) { return "C:\\panel\\" + name; };
    p.load_library = [this](const std::string& path) -> void* {
      loaded_paths.push_back(path);
      return loadable ? this : nullptr;
    };
    p.resolve = [this](void* library, const char* name) -> void* {
      EXPECT_EQ(library, this);
      resolved.push_back(name);
      if (missing_exports.count(name))
        return nullptr;
      // The eleven entries the link never calls resolve to something it must not call.
      void* entry = TFakeHid::get().entry(name);
      return entry ? entry : reinterpret_cast<void*>(&never_called);
    };
    return p;
  }
  static void never_called() { ADD_FAILURE() << "the link called an entry it never uses"; }
};

TEST(LoadLibrary, WritesMissingFileFromResourceAndLoadsByFullPath) {
  TFakeFiles fs;
  THIDEntries e;
  const TLoadResult r = load_hid_library(fs.platform(), e);
  EXPECT_EQ(r.outcome, TLoadOutcome::bound);
  EXPECT_EQ(fs.files["HID_Lib.dll"], resource_bytes);
  EXPECT_EQ(fs.loaded_paths, std::vector<std::string>{"C:\\panel\\HID_Lib.dll"});
  EXPECT_EQ(r.path, "C:\\panel\\HID_Lib.dll");
  EXPECT_EQ(fs.resolved, std::vector<std::string>(std::begin(HID_EXPORT_NAMES), std::end(HID_EXPORT_NAMES)));
  EXPECT_NE(e.HIDSetOutputReport, nullptr);
  EXPECT_NE(e.HIDGetFeatureReport, nullptr);
}

TEST(LoadLibrary, OutcomesOfTheBindingSteps) {
  struct TCase {
    const char* name;
    std::function<void(TFakeFiles&)> arrange;
    TLoadOutcome outcome;
    int writes;
    bool loaded;
  };
  const TCase cases[] = {
      {"existing file is used unchanged", [](TFakeFiles& f) { f.files["HID_Lib.dll"] = {1, 2, 3}; },
       TLoadOutcome::bound, 0, true},
      {"write fails", [](TFakeFiles& f) { f.write_error = "Access is denied."; }, TLoadOutcome::no_file, 1, false},
      {"no resource", [](TFakeFiles& f) { f.resource_present = false; }, TLoadOutcome::no_file, 0, false},
      {"file does not load", [](TFakeFiles& f) { f.loadable = false; }, TLoadOutcome::not_loadable, 1, true},
      {"a called export is missing", [](TFakeFiles& f) { f.missing_exports = {"HIDSetOutputReport"}; },
       TLoadOutcome::missing_entry, 1, true},
      {"the device-change registration is missing", [](TFakeFiles& f) { f.missing_exports = {"USBsetEventHandler"}; },
       TLoadOutcome::missing_entry, 1, true},
      {"an export the link never calls is missing", [](TFakeFiles& f) { f.missing_exports = {"HIDreadDevice"}; },
       TLoadOutcome::bound, 1, true},
  };
  for (const TCase& c : cases) {
    TFakeFiles fs;
    c.arrange(fs);
    const auto before = fs.files;
    THIDEntries e;
    const TLoadResult r = load_hid_library(fs.platform(), e);
    EXPECT_EQ(r.outcome, c.outcome) << c.name;
    EXPECT_EQ(fs.writes, c.writes) << c.name;
    EXPECT_EQ(!fs.loaded_paths.empty(), c.loaded) << c.name;
    if (before.count("HID_Lib.dll")) {
      EXPECT_EQ(fs.files["HID_Lib.dll"], before.at("HID_Lib.dll")) << c.name;
    }
    EXPECT_EQ(r.write_error, fs.write_error) << c.name;
  }
}

// usb_init and rescan with a host that records what the windows are told.
class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    link_reset_for_tests();
    fake.reset();
    TLinkHostFunctions host;
    host.cont = [this](bool en) { events.push_back(en ? "cont 1" : "cont 0"); };
    host.show_device = [this](const TDeviceIdentity& unit) {
      const std::string &n = unit.product, &s = unit.serial, &v = unit.version;
      events.push_back("show " + n + "|" + s + "|" + v);
    };
    host.enable_update_buttons = [this](bool en) { events.push_back(en ? "buttons 1" : "buttons 0"); };
    host.show_error = [this](const std::string& text) { errors.push_back(text); };
    host.refresh = [this] { ++refreshes; };
    host.post_to_main = main_queue().poster();
    link_set_host(host);
  }
  void TearDown() override { link_reset_for_tests(); }

  void restart() {
    events.clear();
    errors.clear();
    fs = TFakeFiles{};
    SetUp();
  }

  bool init_with(std::vector<TFakeDevice> devices) {
    fake.set_devices(std::move(devices));
    link_set_platform(fs.platform());
    return usb_init();
  }
  // The library's device-change window calling the registered handler.
  void device_change(std::vector<TFakeDevice> devices) {
    fake.set_devices(std::move(devices));
    events.clear();
    fake.usb_handler()();
  }
  static TFakeDevice device(std::string product = "MX-540KTR", std::string maker = "VORNIX") {
    TFakeDevice d;
    d.product = std::move(product);
    d.manufacturer = std::move(maker);
    return d;
  }
  static TFakeDevice other() { return device("Wine mouse", "The Wine Project"); }

  // The main thread's turn: run the refresh the worker asked for after a settings reply.
  bool run_refresh() {
    const int before = refreshes;
    for (int i = 0; i < 2000 && refreshes == before; ++i) {
      main_queue().run();
      std::this_thread::sleep_for(1ms);
    }
    return refreshes > before;
  }

  TFakeHid& fake = TFakeHid::get();
  TFakeFiles fs;
  int refreshes = 0;
  std::vector<std::string> events;
  std::vector<std::string> errors;
};

TEST_F(Discovery, InitBindsRegistersScansAndBindsOnlyOnce) {
  ASSERT_TRUE(init_with({other(), device()}));
  EXPECT_EQ(fake.report_handler(), &on_report);
  ASSERT_NE(fake.usb_handler(), nullptr);
  EXPECT_EQ(fake.calls(), (std::vector<std::string>{"scan", "info 0", "info 1", "open 1"}));
  EXPECT_TRUE(dev_open);
  EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show MX-540KTR|0001|2.3", "buttons 0", "cont 1"}));

  // A later activation of the main window binds nothing and starts no second worker.
  EXPECT_TRUE(usb_init());
  EXPECT_EQ(fs.loaded_paths.size(), 1u);
  EXPECT_EQ(fake.calls().size(), 4u);
}

TEST_F(Discovery, InitFailuresRegisterNothingAndScanNothing) {
  fs.loadable = false;
  EXPECT_FALSE(init_with({device()}));
  EXPECT_EQ(fake.report_handler(), nullptr);
  EXPECT_EQ(fake.usb_handler(), nullptr);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(usb_init());  // still once per process
}

TEST_F(Discovery, WriteFailureShowsTheSystemsText) {
  fs.write_error = "Access is denied.";
  EXPECT_FALSE(init_with({device()}));
  EXPECT_EQ(errors, std::vector<std::string>{"Access is denied."});
  EXPECT_TRUE(fake.calls().empty());
}

TEST_F(Discovery, OnlyTheExactMakerStringIsTheDevice) {
  const char* not_makers[] = {"vornix", "Vornix", "VORNIX ", " VORNIX", "VORNI", "VORNIXX", ""};
  for (const char* maker : not_makers) {
    restart();
    EXPECT_TRUE(init_with({device("MX-540KTR", maker)})) << maker;
    EXPECT_FALSE(dev_open) << maker;
    EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show ||"})) << "'" << maker << "'";
  }
}

TEST_F(Discovery, FirstOfTwoMatchingDevicesIsOpened) {
  auto second = device();
  second.serial = "0002";
  ASSERT_TRUE(init_with({other(), device(), second}));
  EXPECT_EQ(fake.current(), 1);
  // Every unit is listed (units_seen), the first one opened.
  EXPECT_EQ(fake.calls(), (std::vector<std::string>{"scan", "info 0", "info 1", "info 2", "open 1"}));
}

TEST_F(Discovery, BootModeOnlyWhenTheMarkFollowsTheName) {
  struct {
    const char* product;
    bool boot;
  } cases[] = {
      {"MX-540KTR (boot)", true},
      {"MX-540KTR(boot)", true},
      {"X(boot)", true},
      {"(boot)MX-540KTR", false},
      {"(boot)", false},
      {"MX-540KTR (BOOT)", false},
      {"MX-540KTR", false},
  };
  for (const auto& c : cases) {
    restart();
    ASSERT_TRUE(init_with({device(c.product)})) << c.product;
    EXPECT_EQ(boot_mode, c.boot) << c.product;
    const std::string show = std::string("show ") + c.product + "|0001|2.3";
    if (c.boot)
      EXPECT_EQ(events, (std::vector<std::string>{"cont 0", show, "buttons 1"})) << c.product;
    else
      EXPECT_EQ(events, (std::vector<std::string>{"cont 0", show, "buttons 0", "cont 1"})) << c.product;
  }
}

TEST_F(Discovery, VersionShowsHighDotLowInDecimal) {
  struct {
    uint16_t version;
    const char* text;
  } cases[] = {{0x0203, "2.3"}, {0x0110, "1.16"}, {0x0000, "0.0"}, {0xFFFF, "255.255"}};
  ASSERT_TRUE(init_with({device()}));
  for (const auto& c : cases) {
    auto d = device();
    d.version = c.version;
    device_change({d});
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[1], std::string("show MX-540KTR|0001|") + c.text);
  }
}

TEST_F(Discovery, UnplugReplugAndBootReEnumeration) {
  ASSERT_TRUE(init_with({device()}));
  device_change({other()});  // unplugged
  EXPECT_FALSE(dev_open);
  EXPECT_EQ(fake.current(), -1);
  EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show ||"}));

  device_change({other(), device()});  // plugged in again
  EXPECT_TRUE(dev_open);
  EXPECT_EQ(events.back(), "cont 1");

  device_change({device("MX-540KTR (boot)")});  // came back running its boot loader
  EXPECT_TRUE(dev_open);
  EXPECT_TRUE(boot_mode);
  EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show MX-540KTR (boot)|0001|2.3", "buttons 1"}));

  // Gone: boot mode and the dialog's buttons keep their state, the fields empty.
  device_change({});
  EXPECT_TRUE(boot_mode);
  EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show ||"}));

  device_change({device()});
  EXPECT_FALSE(boot_mode);
  EXPECT_EQ(events.back(), "cont 1");
}

TEST_F(Discovery, MatchingDeviceThatWillNotOpenLeavesEverythingDisabled) {
  ASSERT_TRUE(init_with({device("MX-540KTR (boot)")}));
  auto stubborn = device();
  stubborn.opens = false;
  device_change({stubborn});
  EXPECT_FALSE(dev_open);
  EXPECT_TRUE(boot_mode);  // kept from before
  EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show MX-540KTR|0001|2.3"}));
}

TEST_F(Discovery, WritesWaitForTheFirstReadReplyOfEachConnection) {
  ASSERT_TRUE(init_with({device()}));
  // The new connection's first request is a read, without waiting for the poll.
  ASSERT_TRUE(fake.wait_frames(1));
  EXPECT_EQ(fake.frames()[0].cmd, cmd_read);

  // An edit made before the unit has told its settings works on zeros: it must
  // not write them over the unit's settings. The reply replaces it.
  settings_edit([](TSettings& r) { r.delay[2] = 3; });
  save();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.frame_count(), 1u);
  EXPECT_TRUE(link_writes_held());
  TSettings s{};
  s.gain[1] = 5;
  deliver_reply(cmd_read, settings_bytes(s));
  ASSERT_TRUE(run_refresh());
  EXPECT_EQ(settings_bytes(settings_get()), settings_bytes(s));
  EXPECT_FALSE(link_writes_held());

  // Writes go straight out now, until the next connection.
  save();
  ASSERT_TRUE(fake.wait_frames(2));
  EXPECT_EQ(fake.frames()[1].cmd, cmd_write);
  EXPECT_EQ(fake.frames()[1].payload, settings_bytes(s));
  fake.clear_records();
  device_change({device()});
  ASSERT_TRUE(fake.wait_frames(1));
  save();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(fake.frame_count(), 1u);
  EXPECT_EQ(fake.frames()[0].cmd, cmd_read);
}

TEST_F(Discovery, AHeldWriteNeverDisplacesTheFirstRead) {
  ASSERT_TRUE(init_with({device()}));
  ASSERT_TRUE(fake.wait_frames(1));
  deliver_reply(cmd_read, settings_bytes(TSettings{}));
  ASSERT_TRUE(run_refresh());
  fake.clear_records();
  device_change({device()});  // the same unit again: posts its first read
  settings_edit([](TSettings& r) { r.ref[3] = 9; });
  save();                     // made on this unit's values, before the new connection's reply
  EXPECT_TRUE(send_pending);
  ASSERT_TRUE(fake.wait_frames(1));
  std::this_thread::sleep_for(30ms);
  ASSERT_EQ(fake.frame_count(), 1u);
  EXPECT_EQ(fake.frames()[0].cmd, cmd_read);

  TSettings s{};
  s.ref[3] = 12;
  deliver_reply(cmd_read, settings_bytes(s));
  ASSERT_TRUE(fake.wait_frames(2));
  EXPECT_EQ(fake.frames()[1].cmd, cmd_write);
  EXPECT_EQ(fake.frames()[1].payload[13 + 3], 9);  // the edit, not the reply's value
  EXPECT_EQ(settings_get().ref[3], 9);
  ASSERT_TRUE(run_refresh());
}

TEST_F(Discovery, RescanSizesTheReportsFromTheDevicesOutputReportLength) {
  auto wide = device();
  wide.output_len = 80;
  ASSERT_TRUE(init_with({wide}));
  ASSERT_TRUE(fake.wait_frames(1));
  EXPECT_EQ(link_output_report_len(), 80u);
}

TEST_F(Discovery, RescanNeverHandsTheLibraryAClosedDeviceWhileTheWorkerSends) {
  ASSERT_TRUE(init_with({device()}));
  std::atomic<bool> done{false};
  std::thread poster([&] {
    while (!done) {
      post_request(cmd_boot_request);
      std::this_thread::yield();
    }
  });
  auto rescan_handler = fake.usb_handler();
  const auto until = std::chrono::steady_clock::now() + 2s;
  for (int i = 0; (i < 2000 || fake.frame_count() < 50) && std::chrono::steady_clock::now() < until; ++i)
    rescan_handler();
  done = true;
  poster.join();
  EXPECT_GT(fake.frame_count(), 0u);
  EXPECT_EQ(fake.reports_without_device(), 0);
}


TEST_F(Discovery, ADeviceChangeLetsTheBlockGoingOutEndAndTheNextGoesToTheUnitAgain) {
  ASSERT_TRUE(init_with({device("MX-540KTR (boot)")}));
  // Another unit re-enumerates while the third report of a nine-report block goes out.
  fake.set_gate(false, true, 2);
  const std::vector<uint8_t> block(512, 7);
  auto writer = std::async(std::launch::async, [&] { return write_eep(0x0200, block.data(), block.size()); });
  ASSERT_TRUE(fake.wait_blocked());
  auto change = std::async(std::launch::async, [&] { device_change({other(), device("MX-540KTR (boot)")}); });
  ASSERT_TRUE(wait_until([] { return link_device_closing(); }));
  fake.set_gate(true);
  ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(writer.get()) << "the block was cut by the rescan";
  ASSERT_EQ(change.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(fake.reports_on(1).size(), 9u);
  ASSERT_EQ(fake.opens(), 2);
  EXPECT_TRUE(write_eep(0x0400, block.data(), block.size()));
  EXPECT_EQ(fake.reports_on(2).size(), 9u);
}

TEST_F(Discovery, AnUpdateFrameThatMeetsTheUnitClosedForADeviceChangeGoesOnceTheSameUnitIsOpenAgain) {
  ASSERT_TRUE(init_with({device("MX-540KTR (boot)")}));
  const std::vector<uint8_t> block(512, 5);
  // Another unit re-enumerates; a page's erase and block are posted between
  // the scan and the unit's reopening: the erase finds the unit closed.
  bool armed = false;
  std::future<bool> writer;
  TLinkHostFunctions host;
  host.cont = [&](bool enable) {
    if (enable || !armed)
      return;
    armed = false;
    writer = std::async(std::launch::async, [&] { return write_flash(0x0200, block.data(), block.size()); });
    EXPECT_TRUE(wait_until([] { return link_frames_waiting_for_discovery() == 1; }));
  };
  link_set_host(std::make_shared<TLinkHostFunctions>(host));
  auto during_scan = [&](std::future<bool>&) { armed = true; };
  during_scan(writer);
  device_change({other(), device("MX-540KTR (boot)")});
  ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(writer.get());
  std::vector<uint8_t> starts;
  for (const auto& r : fake.reports_on(2))
    if (get_be16(r.data() + 1) == 0)
      starts.push_back(r[report_header]);
  EXPECT_EQ(starts, (std::vector<uint8_t>{cmd_erase, cmd_flash}));

  // The pass finds the unit gone: the frame fails at the pass's end.
  during_scan(writer);
  device_change({other()});
  ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(writer.get());
  EXPECT_EQ(fake.opens(), 2);
}

TEST_F(Discovery, AReportCallThatHangsCostsRescanAndStopAtMostTheirBound) {
  using Clock = std::chrono::steady_clock;
  ASSERT_TRUE(init_with({device()}));
  ASSERT_TRUE(fake.wait_frames(1));
  // The unit hangs on the first report of a nine-report block (and only on it).
  fake.set_gate(false, true);
  const std::vector<uint8_t> block(512, 3);
  auto writer = std::async(std::launch::async, [&] { return write_eep(0x0200, block.data(), block.size()); });
  ASSERT_TRUE(fake.wait_blocked());

  // A device change re-plugs the unit: the close gives up the hanging call.
  auto started = Clock::now();
  device_change({device()});
  EXPECT_LT(Clock::now() - started, 2s);
  EXPECT_TRUE(dev_open);
  ASSERT_EQ(fake.opens(), 2);
  ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(writer.get()) << "the block goes again, whole, to the unit opened again";
  EXPECT_EQ(link_workers_left_behind(), 1u);
  // A fresh worker serves the new connection: its first read, then a reset.
  ASSERT_TRUE(wait_until([&] { return !fake.reports_on(2).empty(); }));
  EXPECT_TRUE(post_and_wait(cmd_reset));

  // The hanging call returns at last: nothing of its frame reaches the new
  // connection, and its worker ends.
  fake.set_gate(true);
  ASSERT_TRUE(wait_until([] { return link_workers_left_behind() == 0; }));
  std::vector<uint8_t> on_new;
  size_t pieces = 0;  // reports after a frame's first: the block sent again has 8
  for (const auto& r : fake.reports_on(2)) {
    if (get_be16(r.data() + 1) != 0)
      ++pieces;
    else if (r[report_header] != cmd_read)  // the first read may give way to the block
      on_new.push_back(r[report_header]);
  }
  EXPECT_EQ(pieces, 8u) << "a later piece of the given-up frame";
  EXPECT_EQ(on_new, (std::vector<uint8_t>{cmd_eeprom, cmd_reset}));
  EXPECT_EQ(fake.reports_on(1).back()[report_header], cmd_eeprom);

  // Closing the program while a report hangs: usb_stop ends within its bound too.
  fake.set_gate(false, true);
  post_request(cmd_boot_request);
  ASSERT_TRUE(fake.wait_blocked());
  started = Clock::now();
  usb_stop();
  EXPECT_LT(Clock::now() - started, 2s);
  EXPECT_FALSE(dev_open);
  EXPECT_EQ(fake.current(), -1);
  fake.set_gate(true);
  EXPECT_TRUE(wait_until([] { return link_workers_left_behind() == 0; }));
}

// Locks as other programs would hold them: `others` maps a serial to the
// program holding it; the link's takes and give-backs are recorded.
struct TFakeUnitLocks : mx::link::TUnitLocks {
  std::mutex lock;
  std::map<std::string, std::string> others;
  std::set<std::string> ours;
  std::vector<std::string> log;  // "take S", "refused S", "give S"

  bool take(const std::string& serial, std::string& holder) override {
    std::lock_guard guard(lock);
    if (auto it = others.find(serial); it != others.end()) {
      holder = it->second;
      log.push_back("refused " + serial);
      return false;
    }
    if (ours.insert(serial).second)
      log.push_back("take " + serial);
    return true;
  }
  void give_back(const std::string& serial) override {
    std::lock_guard guard(lock);
    log.push_back("give " + serial);
    ours.erase(serial);
  }
  std::string holder(const std::string& serial) override {
    std::lock_guard guard(lock);
    const auto it = others.find(serial);
    return it == others.end() ? std::string() : it->second;
  }
  std::vector<std::string> taken() {
    std::lock_guard guard(lock);
    auto out = log;
    log.clear();
    return out;
  }
};

std::vector<std::string> seen_text() {
  std::vector<std::string> out;
  for (const TUnitSeen& u : units_seen())
    out.push_back(u.identity.serial + (u.held_by.empty() ? "" : " by " + u.held_by));
  return out;
}

TEST_F(Discovery, UnitsHeldByOtherProgramsAreListedButNeverOpened) {
  EXPECT_EQ(unit_holder("0001"), "");  // no locks set
  auto locks = std::make_shared<TFakeUnitLocks>();
  locks->others["0001"] = "mx540ctl.exe";
  link_set_unit_locks(locks);
  auto unit = [](const char* serial) {
    auto d = device();
    d.serial = serial;
    return d;
  };
  const std::vector<TFakeDevice> units = {other(), unit("0001"), unit("0002"), unit("0003")};

  // The first unit this process may take is bound; the held one is not touched.
  ASSERT_TRUE(init_with(units));
  EXPECT_EQ(fake.calls(), (std::vector<std::string>{"scan", "info 0", "info 1", "info 2", "info 3", "open 2"}));
  EXPECT_EQ(locks->taken(), (std::vector<std::string>{"refused 0001", "take 0002"}));
  EXPECT_EQ(seen_text(), (std::vector<std::string>{"0001 by mx540ctl.exe", "0002", "0003"}));
  EXPECT_EQ(device_identity().serial, "0002");

  struct TCase {
    const char* chosen;
    int opened;  // fake device index, -1: none
    std::vector<std::string> locks;
    std::vector<std::string> seen;
  };
  const TCase cases[] = {
      {"0002", 2, {}, {"0001", "0002", "0003"}},                          // already ours: no second take
      {"0003", 3, {"take 0003", "give 0002"}, {"0001", "0002", "0003"}},  // another serial: the old lock goes back
      {"0001", -1, {"refused 0001"}, {"0001 by mx540ctl.exe", "0002", "0003"}},
      {"9999", -1, {}, {"0001", "0002", "0003"}},  // nobody's: nothing bound, everything listed
      {"", 3, {}, {"0001", "0002", "0003"}},  // the unit still held comes first, nothing else is asked
  };
  for (const TCase& c : cases) {
    link_choose_unit(c.chosen);
    fake.clear_records();
    device_change(units);
    EXPECT_EQ(fake.current(), c.opened) << c.chosen;
    EXPECT_EQ(dev_open, c.opened >= 0) << c.chosen;
    if (c.opened < 0) {
      EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show ||"})) << c.chosen;
      EXPECT_EQ(device_identity().serial, "") << c.chosen;
    }
    for (const std::string& call : fake.calls())
      EXPECT_NE(call, "open 1") << c.chosen;  // the unit mx540ctl.exe holds
    EXPECT_EQ(locks->taken(), c.locks) << c.chosen;
    EXPECT_EQ(seen_text(), c.seen) << c.chosen;
  }

  // Asked now, without taking: who holds a unit (also one taken after the last
  // scan), and never another program for the unit this process holds.
  locks->others["0002"] = "MX_540KTR.exe";
  locks->others["0003"] = "stale.exe";
  EXPECT_EQ(unit_holder("0001"), "mx540ctl.exe");
  EXPECT_EQ(unit_holder("0002"), "MX_540KTR.exe");
  EXPECT_EQ(unit_holder("0003"), "");
  EXPECT_TRUE(locks->taken().empty());
  locks->others.erase("0002");
  locks->others.erase("0003");

  // Stopping gives the unit back and closes it; a device change afterwards takes nothing.
  usb_stop();
  EXPECT_EQ(locks->taken(), std::vector<std::string>{"give 0003"});
  EXPECT_FALSE(dev_open);
  device_change(units);
  EXPECT_TRUE(locks->taken().empty());
  EXPECT_EQ(fake.current(), -1);
}

// Units without a serial ("---" from the library, or none at all) are locked,
// listed and chosen by their device path; a path also tells apart two units
// that share a serial.
TEST_F(Discovery, UnitsWithoutASerialAreKnownByTheirPath) {
  auto locks = std::make_shared<TFakeUnitLocks>();
  locks->others["P3"] = "MX_540KTR.exe";
  link_set_unit_locks(locks);
  auto unit = [](const char* serial, const char* path) {
    auto d = device();
    d.serial = serial;
    d.path = path;
    return d;
  };
  const std::vector<TFakeDevice> units = {unit("---", "P1"), unit("", "P2"), unit("---", "P3"),
                                          unit("0007", "P4"), unit("0007", "P5")};
  ASSERT_TRUE(init_with(units));
  EXPECT_EQ(locks->taken(), std::vector<std::string>{"take P1"});
  EXPECT_EQ(device_identity().path, "P1");
  std::vector<std::string> paths;
  for (const TUnitSeen& u : units_seen())
    paths.push_back(u.identity.path);
  EXPECT_EQ(paths, (std::vector<std::string>{"P1", "P2", "P3", "P4", "P5"}));

  struct TCase {
    const char* serial;
    const char* path;
    int opened;
    std::vector<std::string> locks;
  };
  const TCase cases[] = {
      {"", "P2", 1, {"take P2", "give P1"}},   // another unit without a serial: a lock of its own
      {"", "P3", -1, {"refused P3"}},          // held by another program, not touched
      {"0007", "P5", 4, {"take 0007", "give P2"}},
      {"", "P4", 3, {}},                       // the same serial: the lock held already
      {"", "P9", -1, {}},
  };
  for (const TCase& c : cases) {
    link_choose_unit(c.serial, c.path);
    device_change(units);
    EXPECT_EQ(fake.current(), c.opened) << c.path;
    EXPECT_EQ(locks->taken(), c.locks) << c.path;
    if (c.opened >= 0) {
      EXPECT_EQ(device_identity().path, c.path);
    }
  }
}

TEST_F(Discovery, TheLockIsKeptWhileTheUnitReEnumeratesOnTheLinksCommand) {
  auto locks = std::make_shared<TFakeUnitLocks>();
  link_set_unit_locks(locks);
  auto unit = [](const char* serial, const char* product = "MX-540KTR") {
    auto d = device(product);
    d.serial = serial;
    return d;
  };
  ASSERT_TRUE(init_with({unit("0001"), unit("0002")}));
  EXPECT_EQ(locks->taken(), std::vector<std::string>{"take 0001"});
  ASSERT_TRUE(fake.wait_frames(1));  // the first read

  // The boot request sent, the unit leaves: the other unit is not bound meanwhile.
  ASSERT_TRUE(post_and_wait(cmd_boot_request));
  device_change({unit("0002")});
  EXPECT_FALSE(dev_open);
  EXPECT_EQ(events, (std::vector<std::string>{"cont 0", "show ||"}));
  EXPECT_EQ(seen_text(), std::vector<std::string>{"0002"});
  device_change({unit("0001", "MX-540KTR (boot)"), unit("0002")});
  EXPECT_EQ(fake.current(), 0);
  EXPECT_TRUE(boot_mode);
  ASSERT_TRUE(post_and_wait(cmd_finish));
  device_change({unit("0002")});
  EXPECT_FALSE(dev_open);
  device_change({unit("0002"), unit("0001")});
  EXPECT_EQ(fake.current(), 1);
  EXPECT_FALSE(boot_mode);
  EXPECT_TRUE(locks->taken().empty());  // held all along, never taken again

  // Unplugged without a command of the link: the next free unit is bound.
  device_change({unit("0002")});
  EXPECT_EQ(fake.current(), 0);
  EXPECT_EQ(device_identity().serial, "0002");
  EXPECT_EQ(locks->taken(), (std::vector<std::string>{"take 0002", "give 0001"}));
}

}  // namespace
