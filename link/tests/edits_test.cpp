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

  void connect(const std::string& serial, TSettings values) {
    {
      std::lock_guard guard(lock);
      device = values;
      answers.clear();
    }
    TFakeDevice d;
    d.serial = serial;
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
  struct Case {
    const char* name;
    std::string serial_after;
    bool written;
  } const cases[] = {{"same unit again", "0001", true}, {"another unit", "0002", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    connect("0001", with_gain(2));
    ASSERT_TRUE(fake.wait_frames(1));
    answer();
    // The edit is made while the unit re-enumerates: its write fails, or is
    // still waiting, when the device-change message comes.
    link_bind_entries(fake.entries(), 65, false);
    edit_gain(-9);
    ASSERT_TRUE(settled());
    connect(c.serial_after, with_gain(5));
    ASSERT_TRUE(fake.wait_frames(1));
    ASSERT_TRUE(settled());
    EXPECT_EQ(commands(), std::vector<uint8_t>{cmd_read});  // nothing before the unit has answered
    answer();
    ASSERT_TRUE(settled());
    answer();
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

}  // namespace
