// The operator's edits against the device's replies and device changes: the
// last edit always reaches the unit it was made on, a reply never undoes an
// edit, and no edit goes to another unit. The device here answers in order,
// when the test lets it, so every interleaving is played out deterministically.
#include "USB.h"
#include "fake_hid.h"
#include "link_testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

using namespace std::chrono_literals;

namespace {

class Edits : public ::testing::Test {
 protected:
  void SetUp() override {
    link_reset_for_tests();
    fake.reset();
    TLinkHostFunctions host;
    host.refresh = [this] { ++refreshes; };
    host.post_to_main = main_queue().poster();
    link_set_host(host);
    // The device keeps its record and queues its answers; writes change the record.
    fake.set_on_frame([this](const TFrame& f) {
      std::lock_guard guard(lock);
      if (f.cmd == cmd_write && f.payload.size() == sizeof device)
        std::memcpy(&device, f.payload.data(), sizeof device);
      if (f.cmd == cmd_read || f.cmd == cmd_write)
        answers.push_back({f.cmd, settings_bytes(device)});
    });
    link_bind_entries(fake.entries(), 65, false);
    link_start_worker();
  }
  void TearDown() override { link_reset_for_tests(); }

  void connect(const std::string& serial, TSettings values, const std::string& path = {}) {
    {
      std::lock_guard guard(lock);
      device = values;
      answers.clear();
    }
    TFakeDevice d;
    d.serial = serial;
    d.path = path;
    fake.set_devices({d});
    fake.clear_records();
    rescan();
  }
  // The device's answers so far reach on_report, in order (once the worker
  // is done sending, so that every answer has been made).
  void answer() {
    ASSERT_TRUE(settled());
    std::deque<std::pair<uint8_t, std::vector<uint8_t>>> now;
    {
      std::lock_guard guard(lock);
      now.swap(answers);
    }
    for (const auto& [cmd, payload] : now)
      deliver_reply(cmd, payload);
  }
  TSettings on_device() {
    std::lock_guard guard(lock);
    return device;
  }
  std::vector<uint8_t> commands() {
    std::vector<uint8_t> out;
    for (const auto& f : fake.frames())
      out.push_back(f.cmd);
    return out;
  }
  void edit_gain(int gain) {
    settings_edit([gain](TSettings& s) { s.gain[s.preset & 3] = static_cast<int8_t>(gain); });
    save();
  }
  // Waits until the worker has nothing left to send.
  bool settled() {
    for (int i = 0; i < 5000; ++i) {
      if (link_worker_idle() && !sending)
        return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }
  static TSettings with_gain(int gain) {
    TSettings s{};
    s.gain[0] = static_cast<int8_t>(gain);
    return s;
  }

  TFakeHid& fake = TFakeHid::get();
  std::mutex lock;
  TSettings device{};
  std::deque<std::pair<uint8_t, std::vector<uint8_t>>> answers;
  int refreshes = 0;
};

TEST_F(Edits, AReplyToAnEarlierReadNeverUndoesAnEdit) {
  connect("0001", with_gain(2));
  ASSERT_TRUE(fake.wait_frames(1));
  answer();
  ASSERT_EQ(settings_get().gain[0], 2);

  // The poll goes out, then the operator edits before its answer arrives.
  post_request(cmd_read);
  ASSERT_TRUE(fake.wait_frames(2));
  edit_gain(-3);
  ASSERT_TRUE(fake.wait_frames(3));
  ASSERT_TRUE(settled());
  answer();  // the read's answer (gain 2), then the write's (gain -3)
  EXPECT_EQ(settings_get().gain[0], -3);

  // Edit while the poll's answer is in flight and the write not yet sent.
  fake.set_gate(false);
  post_request(cmd_read);
  ASSERT_TRUE(fake.wait_blocked());
  edit_gain(-9);
  fake.set_gate(true);
  ASSERT_TRUE(fake.wait_frames(5));
  ASSERT_TRUE(settled());
  answer();
  EXPECT_EQ(settings_get().gain[0], -9);
  EXPECT_EQ(on_device().gain[0], -9);

  // With nothing pending, the next poll brings the device's record as it is.
  post_request(cmd_read);
  ASSERT_TRUE(fake.wait_frames(6));
  ASSERT_TRUE(settled());
  {
    std::lock_guard guard(lock);
    device.delay[0] = 12;  // changed on the device itself
    answers.back().second = settings_bytes(device);
  }
  answer();
  EXPECT_EQ(settings_get().delay[0], 12);
  EXPECT_EQ(settings_get().gain[0], -9);
  main_queue().run();
  EXPECT_GT(refreshes, 0);
}

TEST_F(Edits, QuickEditsWithASlowDeviceEndWithTheLastOneOnIt) {
  TSettings start{};
  start.preset = 2;
  connect("0001", start);
  ASSERT_TRUE(fake.wait_frames(1));
  answer();
  fake.set_gate(false);  // the device takes its time over every report
  post_request(cmd_read);
  ASSERT_TRUE(fake.wait_blocked());
  // Preset buttons 2, 3, 4 and 1 pressed in turn, polls in between.
  for (uint8_t preset : {1, 2, 3, 0}) {
    settings_edit([preset](TSettings& s) { s.preset = preset; });
    save();
    post_request(cmd_read);
  }
  fake.set_gate(true);
  ASSERT_TRUE(settled());
  answer();
  EXPECT_EQ(commands(), (std::vector<uint8_t>{cmd_read, cmd_read, cmd_write, cmd_read}));
  EXPECT_EQ(on_device().preset, 0);
  EXPECT_EQ(settings_get().preset, 0);
}

TEST_F(Edits, ADeviceChangeKeepsTheEditForTheSameUnitAndDropsItForAnother) {
  // Units go by key: a unit without a serial ("---") by its path.
  struct Case {
    const char* name;
    std::string serial_before, path_before, serial_after, path_after, unit_after;
    bool written;
  } const cases[] = {{"same unit again", "0001", "", "0001", "", "0001", true},
                     {"another unit", "0001", "", "0002", "", "0002", false},
                     {"same unit without a serial", "---", "port1", "---", "port1", "port1", true},
                     {"another unit without a serial", "---", "port1", "---", "port2", "port2", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connect(c.serial_before, with_gain(2), c.path_before);
    ASSERT_TRUE(fake.wait_frames(1));
    answer();
    // The edit is made while the unit re-enumerates: its write fails, or is
    // still waiting, when the device-change message comes.
    link_bind_entries(fake.entries(), 65, false);
    edit_gain(-9);
    ASSERT_TRUE(settled());
    connect(c.serial_after, with_gain(5), c.path_after);
    ASSERT_TRUE(fake.wait_frames(1));
    ASSERT_TRUE(settled());
    EXPECT_EQ(commands(), std::vector<uint8_t>{cmd_read});  // nothing before the unit has answered
    EXPECT_EQ(settings_unit(), c.serial_before == "---" ? c.path_before : c.serial_before);  // the values it had
    answer();
    ASSERT_TRUE(settled());
    answer();
    EXPECT_EQ(settings_unit(), c.unit_after);
    if (c.written) {
      EXPECT_EQ(commands(), (std::vector<uint8_t>{cmd_read, cmd_write}));
      EXPECT_EQ(on_device().gain[0], -9);
      EXPECT_EQ(settings_get().gain[0], -9);
    } else {
      EXPECT_EQ(commands(), std::vector<uint8_t>{cmd_read});
      EXPECT_EQ(on_device().gain[0], 5);
      EXPECT_EQ(settings_get().gain[0], 5);  // the panel shows the new unit's values
    }
  }
}

TEST_F(Edits, AnEditBeforeTheUnitReturnsAsItsBootLoaderIsNeverWritten) {
  connect("0001", with_gain(2));
  ASSERT_TRUE(fake.wait_frames(1));
  answer();
  // The edit waits while the unit re-enumerates; the same serial comes back
  // first as its boot loader, then with its firmware.
  link_bind_entries(fake.entries(), 65, false);
  edit_gain(-9);
  ASSERT_TRUE(settled());
  TFakeDevice boot;
  boot.product = "MX-540KTR (boot)";
  fake.set_devices({boot});
  fake.clear_records();
  rescan();
  ASSERT_TRUE(boot_mode);
  connect("0001", with_gain(2));
  ASSERT_TRUE(fake.wait_frames(1));
  answer();
  ASSERT_TRUE(settled());
  post_request(cmd_read);
  ASSERT_TRUE(fake.wait_frames(2));
  answer();
  EXPECT_EQ(commands(), (std::vector<uint8_t>{cmd_read, cmd_read}));
  EXPECT_EQ(on_device().gain[0], 2);
  EXPECT_EQ(settings_get().gain[0], 2);
}

TEST_F(Edits, AMultiReportReplyIsTakenAtItsEndMark) {
  TSettings s{};
  s.scale[2] = 2;
  auto payload = settings_bytes(s);
  payload.resize(100, 0xAB);  // two reports
  const auto reports = reply_reports(cmd_read, payload);
  ASSERT_EQ(reports.size(), 2u);
  on_report(reports[0], 65);
  EXPECT_EQ(settings_get().scale[2], 0);
  EXPECT_FALSE(refresh_pending);
  on_report(reports[1], 65);
  EXPECT_EQ(settings_get().scale[2], 2);
  EXPECT_TRUE(refresh_pending);
  EXPECT_EQ(link_rx_size(), 0u);
}

// The record's rules, played step by step as the worker and the read thread
// would: which reply may be copied, whatever was lost on the way.
class Record : public ::testing::Test {
 protected:
  void SetUp() override {
    record.connected(1, "0001", true);
    poll(device);
  }
  // A read goes out; `answered`: its reply comes back. Gives whether it was copied.
  bool poll(const TSettings& on_unit, bool answered = true) {
    record.read_done(record.read_taken(), true);
    return answered && record.reply(cmd_read, on_unit);
  }
  static TSettings with(int gain, int delay = 0) {
    TSettings s{};
    s.gain[0] = static_cast<int8_t>(gain);
    s.delay[0] = static_cast<uint8_t>(delay);
    return s;
  }
  bool edit(int gain) {
    return record.edit_and_write([gain](TSettings& s) {
      s.gain[0] = static_cast<int8_t>(gain);
      return true;
    });
  }

  mx::link::TSettingsRecord record;
  TSettings device = with(2);
};

TEST_F(Record, AReplyLandingRightAfterAnEditCannotUndoIt) {
  // The reply comes in the moment the edit is made, before the worker takes
  // the write (the wake-up is the first thing to run after the edit).
  bool replied = false;
  record.set_wake([&] {
    if (!std::exchange(replied, true)) {
      EXPECT_FALSE(record.reply(cmd_read, device));
    }
  });
  ASSERT_TRUE(edit(-7));
  record.set_wake(nullptr);
  ASSERT_TRUE(replied);
  const auto write = record.take_write();
  ASSERT_TRUE(write);
  EXPECT_EQ(write->record.gain[0], -7);
  EXPECT_EQ(record.get().gain[0], -7);

  // Replies while that write goes out (a poll's, and the unit's answer to the
  // write itself coming in before the write's outcome), and the write then
  // refused: the edit stays and the retry after the next read reply carries it.
  EXPECT_FALSE(record.reply(cmd_read, device));
  EXPECT_FALSE(record.reply(cmd_write, device));
  record.write_done(*write, false);
  EXPECT_EQ(record.get().gain[0], -7);
  EXPECT_FALSE(record.take_write()) << "retried before the unit answered again";
  EXPECT_FALSE(poll(device));
  const auto retry = record.take_write();
  ASSERT_TRUE(retry);
  EXPECT_EQ(retry->record.gain[0], -7);
}

TEST_F(Record, AReplyBetweenTwoConnectionsDropsNoEditOfTheNextOne) {
  // A device change: the old connection's last answer comes in while the
  // link is between connections, then the operator edits on the new one.
  record.disconnected();
  EXPECT_FALSE(record.reply(cmd_read, with(-3)));
  record.connected(2, "0001", true);
  ASSERT_TRUE(edit(-9));
  EXPECT_FALSE(poll(with(-3)));
  const auto write = record.take_write();
  ASSERT_TRUE(write) << "the edit was dropped";
  EXPECT_EQ(write->record.gain[0], -9);
}

TEST_F(Record, LostRepliesCostOnlyThePollsTheyAnswered) {
  // Three polls whose replies are lost (bad CRC, a dropped piece, silence).
  for (int i = 0; i < 3; ++i)
    poll(device, false);
  ASSERT_TRUE(edit(-5));
  auto write = record.take_write();
  ASSERT_TRUE(write);
  record.write_done(*write, true);
  device = with(-5);
  EXPECT_TRUE(record.reply(cmd_write, device)) << "the last write's answer shows the unit after it";
  // A change made on the unit itself shows with the next poll.
  device = with(-5, 12);
  EXPECT_TRUE(poll(device));
  EXPECT_EQ(record.get().delay[0], 12);

  // A poll, an edit and another poll, with the first poll's reply and the
  // write's answer both lost: the second poll's reply may predate the write,
  // the third one shows the unit.
  poll(device, false);
  ASSERT_TRUE(edit(-1));
  write = record.take_write();
  ASSERT_TRUE(write);
  record.write_done(*write, true);
  device = with(-1, 4);
  poll(device, false);
  record.read_done(record.read_taken(), true);
  EXPECT_FALSE(record.reply(cmd_read, device));
  EXPECT_TRUE(poll(device));
  EXPECT_EQ(record.get().delay[0], 4);

  // A reply to a read sent before a write that is still unanswered is old.
  const uint64_t early = record.read_taken();
  record.read_done(early, true);
  ASSERT_TRUE(edit(3));
  write = record.take_write();
  record.write_done(*write, true);
  EXPECT_FALSE(record.reply(cmd_read, with(-1, 4)));
  EXPECT_EQ(record.get().gain[0], 3);
  EXPECT_TRUE(record.reply(cmd_write, with(3, 4)));
}

}  // namespace
