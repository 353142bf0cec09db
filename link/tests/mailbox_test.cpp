// The request mailbox and the link worker: hand-over between posters and the
// worker, waiting posters, refresh on the main thread, stopping. Run under
// ThreadSanitizer as well.
#include "USB.h"
#include "fake_hid.h"
#include "link_testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <thread>

using namespace std::chrono_literals;

namespace {

class Mailbox : public ::testing::Test {
 protected:
  void SetUp() override {
    link_reset_for_tests();
    fake.reset();
    fake.set_devices({TFakeDevice{}});
    fake.scan();
    fake.open(0);
    link_bind_entries(fake.entries(), 65, true);
    install_host();
    link_start_worker();
  }
  void TearDown() override {
    fake.set_gate(true);
    link_reset_for_tests();
  }

  void install_host() {
    TLinkHostFunctions host;
    host.refresh = [this] {
      EXPECT_EQ(std::this_thread::get_id(), main_id);
      ++refreshes;
    };
    host.post_to_main = main_queue().poster();
    host.show_error = [](const std::string&) {};
    link_set_host(host);
  }

  std::vector<uint8_t> commands() {
    std::vector<uint8_t> out;
    for (const auto& f : fake.frames())
      out.push_back(f.cmd);
    return out;
  }

  TFakeHid& fake = TFakeHid::get();
  std::thread::id main_id = std::this_thread::get_id();
  std::atomic<int> refreshes{0};
};

TEST_F(Mailbox, NewerPostReplacesUntakenOneAndPostDuringSendIsSentNext) {
  fake.set_gate(false);
  post_request(cmd_boot_request);
  ASSERT_TRUE(fake.wait_blocked());  // the worker is inside the send of the first frame
  EXPECT_TRUE(sending);
  post_request(cmd_update_close);    // posted during the send: must not be swallowed...
  post_request(cmd_finish);          // ...unless a newer post replaces it before it is taken
  EXPECT_TRUE(send_pending);
  fake.set_gate(true);
  ASSERT_TRUE(fake.wait_frames(2));
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(commands(), (std::vector<uint8_t>{cmd_boot_request, cmd_finish}));
  EXPECT_FALSE(send_pending);
}

TEST_F(Mailbox, WriteFlashErasesAtBlockStartsAndGivesTheBlocksOutcome) {
  fake.set_outcome([](const uint8_t* report) -> uint8_t { return report[5] == cmd_erase ? 0 : 1; });
  std::vector<uint8_t> block(512, 0x77);

  // A page whose erase was refused gets no block.
  EXPECT_FALSE(write_flash(0x0400, block.data(), block.size()));
  auto frames = fake.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].cmd, cmd_erase);
  EXPECT_EQ(frames[0].payload, (std::vector<uint8_t>{0x04, 0x00}));

  fake.set_outcome([](const uint8_t*) -> uint8_t { return 1; });
  fake.clear_records();
  EXPECT_TRUE(write_flash(0x0400, block.data(), block.size()));
  frames = fake.frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].cmd, cmd_flash);
  EXPECT_EQ(frames[1].payload, block_payload(0x0400, block.data(), block.size()));

  fake.clear_records();
  EXPECT_TRUE(write_flash(0x0500, block.data(), block.size()));
  EXPECT_TRUE(write_eep(0x0000, block.data(), 64));
  EXPECT_EQ(commands(), (std::vector<uint8_t>{cmd_flash, cmd_eeprom}));

  // Refuse every report of flash frames (the command sits in the first report only).
  uint8_t frame_cmd = 0;
  fake.set_outcome([&](const uint8_t* report) -> uint8_t {
    if (get_be16(report + 1) == 0)
      frame_cmd = report[5];
    return frame_cmd == cmd_flash ? 0 : 1;
  });
  EXPECT_FALSE(write_flash(0x0600, block.data(), block.size()));
  EXPECT_TRUE(post_and_wait(cmd_reset));
  EXPECT_TRUE(link_last_result());
}

TEST_F(Mailbox, WithNoDeviceEveryWaitingPosterReturnsFalseAtOnce) {
  link_bind_entries(fake.entries(), 65, false);
  const uint8_t block[16] = {};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(set_erase(0));
  EXPECT_FALSE(write_flash(0, block, sizeof block));
  EXPECT_FALSE(write_eep(0, block, sizeof block));
  EXPECT_FALSE(post_and_wait(cmd_reset));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_TRUE(fake.reports().empty());
}

TEST_F(Mailbox, NoReadsPostedInBootMode) {
  boot_mode = true;
  post_request(cmd_read);
  post_request(cmd_boot_request);
  ASSERT_TRUE(fake.wait_frames(1));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(commands(), std::vector<uint8_t>{cmd_boot_request});
}

TEST_F(Mailbox, SaveReturnsAtOnceAndItsWriteFollowsTheRunningSend) {
  fake.set_gate(false);
  post_request(cmd_read);
  ASSERT_TRUE(fake.wait_blocked());
  // save never waits, so no window handler can run inside another one.
  auto saved = std::async(std::launch::async, [] { save(); });
  ASSERT_EQ(saved.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(fake.frames().empty());
  // A poll posted meanwhile does not replace the write.
  post_request(cmd_read);
  fake.set_gate(true);
  ASSERT_TRUE(fake.wait_frames(3));
  EXPECT_EQ(commands(), (std::vector<uint8_t>{cmd_read, cmd_write, cmd_read}));
}

TEST_F(Mailbox, NoPosterWaitsForTheMainThreadAndTheRefreshRunsThere) {
  TSettings s{};
  s.gain[1] = 7;
  deliver_reply(cmd_read, settings_bytes(s));
  deliver_reply(cmd_read, settings_bytes(s));  // one refresh on its way at a time
  // The main thread never returns to its loop here: the sends go on regardless.
  std::vector<uint8_t> block(512, 1);
  EXPECT_TRUE(write_flash(0x0200, block.data(), block.size()));
  EXPECT_EQ(commands(), (std::vector<uint8_t>{cmd_erase, cmd_flash}));
  EXPECT_EQ(refreshes, 0);
  EXPECT_TRUE(refresh_pending);
  EXPECT_EQ(main_queue().run(), 1);
  EXPECT_EQ(refreshes, 1);
  EXPECT_FALSE(refresh_pending);
  EXPECT_EQ(settings_get().gain[1], 7);
}

TEST_F(Mailbox, AWaitingPosterWhoseRequestWasReplacedIsToldItWasNotSent) {
  fake.set_gate(false);
  post_request(cmd_boot_request);
  ASSERT_TRUE(fake.wait_blocked());
  auto waiter = std::async(std::launch::async, [] { return post_and_wait(cmd_reset); });
  // Posts replace the reset as soon as it is in the slot (the worker is held at the gate).
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (waiter.wait_for(1ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline)
    post_request(cmd_update_close);
  ASSERT_EQ(waiter.wait_for(0s), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  fake.set_gate(true);
  ASSERT_TRUE(fake.wait_frames(2));
  EXPECT_EQ(commands(), (std::vector<uint8_t>{cmd_boot_request, cmd_update_close}));
}

TEST_F(Mailbox, StopEndsWaitingPostersAndLeavesTheMailboxUnsent) {
  fake.set_gate(false);
  post_request(cmd_boot_request);
  ASSERT_TRUE(fake.wait_blocked());
  auto waiter = std::async(std::launch::async, [] { return post_and_wait(cmd_reset); });
  std::this_thread::sleep_for(20ms);
  // usb_stop joins the worker, which first ends the report it is sending.
  auto stopping = std::async(std::launch::async, [] { usb_stop(); });
  ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
  fake.set_gate(true);
  ASSERT_EQ(stopping.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(waiter.get());
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(commands(), std::vector<uint8_t>{cmd_boot_request});
  EXPECT_FALSE(post_and_wait(cmd_reset));  // nobody left to send it
}

TEST_F(Mailbox, StopEndsTheFrameBeingSentBeforeItsNextReport) {
  fake.set_gate(false);
  std::vector<uint8_t> block(512, 3);  // nine reports
  auto writer = std::async(std::launch::async, [&] { return write_eep(0x0200, block.data(), block.size()); });
  ASSERT_TRUE(fake.wait_blocked());
  auto stopping = std::async(std::launch::async, [] { usb_stop(); });
  // Let the first report through only once the stop has been asked for.
  while (stopping.wait_for(1ms) != std::future_status::ready && !link_sends_stopped()) {
  }
  fake.set_gate(true);
  ASSERT_EQ(stopping.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(writer.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(writer.get());
  EXPECT_EQ(fake.reports().size(), 1u);
}

TEST_F(Mailbox, SettingsRecordIsAlwaysSeenWhole) {
  std::atomic<bool> done{false};
  std::thread editor([&] {
    for (int i = 0; i < 20000; ++i)
      settings_edit([i](TSettings& s) { std::memset(&s, i % 3, sizeof s); });
  });
  std::thread replier([&] {
    for (int i = 0; i < 2000; ++i) {
      TSettings s;
      std::memset(&s, 1 + i % 2, sizeof s);
      deliver_reply(cmd_write, settings_bytes(s));
    }
  });
  std::thread reader([&] {
    while (!done) {
      const TSettings s = settings_get();
      const auto* b = reinterpret_cast<const uint8_t*>(&s);
      for (size_t i = 1; i < sizeof s; ++i)
        ASSERT_EQ(b[i], b[0]);
    }
  });
  editor.join();
  replier.join();
  done = true;
  reader.join();
}

// Posters on several threads, the worker, a reply thread raising
// refresh_pending and a main loop running the refreshes. Every frame the device
// gets must be one whole request; every waiting poster gets its own outcome.
TEST_F(Mailbox, StressManyPostersOneWorker) {
  constexpr int waiting_posters = 3;
  constexpr int posts_each = 1000;

  // Waiting posts carry (poster, sequence) in their address and a payload made
  // from both; the device refuses every third one.
  auto pattern = [](int poster, int seq) { return static_cast<uint8_t>(poster * 31 + seq * 7); };
  auto refused = [](int seq) { return seq % 3 == 0; };

  std::mutex seen_lock;
  std::set<std::pair<int, int>> sent;
  std::atomic<int> torn{0};
  fake.set_outcome([&](const uint8_t* report) -> uint8_t {
    // The outcome of the frame's last report decides; only eeprom frames carry a sequence.
    if (report[0] != 1 || get_be16(report + 1) != 0 || report[5] != cmd_eeprom)
      return 1;
    const uint16_t adr = get_be16(report + 8);
    return refused(adr & 0xFFF) ? 0 : 1;
  });
  fake.set_on_frame([&](const TFrame& f) {
    if (f.cmd == cmd_eeprom) {
      if (f.payload.size() != 4 + 40) {
        ++torn;
        return;
      }
      const uint16_t adr = get_be16(f.payload.data());
      const int poster = adr >> 12, seq = adr & 0xFFF;
      for (size_t i = 4; i < f.payload.size(); ++i)
        if (f.payload[i] != pattern(poster, seq)) {
          ++torn;
          return;
        }
      std::lock_guard guard(seen_lock);
      if (!sent.insert({poster, seq}).second)
        ++torn;  // sent twice
    } else if (f.cmd == cmd_write) {
      if (f.payload.size() != 29) {
        ++torn;
        return;
      }
      for (size_t i = 1; i < 29; ++i)
        if (f.payload[i] != f.payload[0])
          ++torn;
    } else if (!f.payload.empty()) {
      ++torn;
    }
  });

  std::atomic<int> wrong_outcome{0};
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int poster = 1; poster <= waiting_posters; ++poster) {
    threads.emplace_back([&, poster] {
      for (int seq = 0; seq < posts_each; ++seq) {
        std::vector<uint8_t> block(40, pattern(poster, seq));
        const bool ok = write_eep(static_cast<uint16_t>(poster << 12 | seq), block.data(), block.size());
        bool was_sent;
        {
          std::lock_guard guard(seen_lock);
          was_sent = sent.count({poster, seq}) > 0;
        }
        if (ok != (was_sent && !refused(seq)))
          ++wrong_outcome;
      }
      ++finished;
    });
  }
  threads.emplace_back([&] {  // fire-and-forget posts, some replacing waiting ones
    for (int i = 0; finished < waiting_posters; ++i) {
      post_request(i % 2 ? cmd_boot_request : cmd_update_close);
      std::this_thread::sleep_for(200us);
    }
  });
  threads.emplace_back([&] {  // edits and saves with whole records
    for (int i = 0; finished < waiting_posters; ++i) {
      settings_edit([i](TSettings& s) { std::memset(&s, i % 3, sizeof s); });
      save();
      std::this_thread::sleep_for(300us);
    }
  });
  threads.emplace_back([&] {  // the read thread: settings replies raise refresh_pending
    for (int i = 0; finished < waiting_posters; ++i) {
      TSettings s;
      std::memset(&s, 1 + i % 2, sizeof s);
      deliver_reply(cmd_read, settings_bytes(s));
      std::this_thread::sleep_for(500us);
    }
  });

  // Main loop, with waiting posts of its own now and then.
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int main_posts = 0;
  while (finished < waiting_posters && std::chrono::steady_clock::now() < deadline) {
    main_queue().wait_and_run(2);
    if (++main_posts % 50 == 0)
      post_and_wait(cmd_reset);
  }
  ASSERT_EQ(finished, waiting_posters) << "posters did not finish: deadlock";
  for (auto& t : threads)
    t.join();
  main_queue().run();

  EXPECT_EQ(torn, 0);
  EXPECT_EQ(wrong_outcome, 0);

  // However the threads were scheduled, the link is still alive afterwards: a
  // lone waiting post is sent and succeeds, and a settings reply brings one refresh.
  const std::vector<uint8_t> block(40, pattern(1, 0xFFE));
  EXPECT_TRUE(write_eep(static_cast<uint16_t>(1 << 12 | 0xFFE), block.data(), block.size()));
  EXPECT_TRUE(sent.count({1, 0xFFE}));
  const int before = refreshes;
  deliver_reply(cmd_read, settings_bytes(TSettings{}));
  EXPECT_EQ(main_queue().run(), 1);
  EXPECT_EQ(refreshes, before + 1);
}

}  // namespace
