// The link's side of the device protocol: frames out through the library
// (send_msg), the reply dispatch with its settings record, the update payloads.
#include "USB.h"
#include "fake_hid.h"
#include "link_testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// send_msg against the in-process library, with the device open.
class SendMsg : public ::testing::Test {
 protected:
  void SetUp() override {
    link_reset_for_tests();
    fake.reset();
    fake.set_devices({TFakeDevice{}});
    fake.scan();
    fake.open(0);
    link_bind_entries(fake.entries(), 65, true);
    TLinkHostFunctions host;
    host.show_error = [this](const std::string& text) { errors.push_back(text); };
    link_set_host(host);
  }
  void TearDown() override { link_reset_for_tests(); }

  TFakeHid& fake = TFakeHid::get();
  std::vector<std::string> errors;
};

TEST_F(SendMsg, EmptyPayloadIsOneReportOfFiveFrameBytes) {
  ASSERT_TRUE(send_msg(cmd_read, nullptr, 0));
  const auto reports = fake.reports();
  ASSERT_EQ(reports.size(), 1u);
  std::vector<uint8_t> expected(65, 0);
  const uint8_t head[] = {0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC0, 0x71};
  std::memcpy(expected.data(), head, sizeof head);
  EXPECT_EQ(reports[0], expected);
  EXPECT_FALSE(sending);
}

TEST_F(SendMsg, ReportCountsAndPiecesAtFrameSizeBoundaries) {
  struct {
    size_t payload;
    size_t reports;
  } cases[] = {{29, 1}, {53, 1}, {54, 2}, {516, 9}};
  for (const auto& c : cases) {
    fake.clear_records();
    std::vector<uint8_t> payload(c.payload);
    for (size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_TRUE(send_msg(cmd_flash, payload.data(), payload.size()));
    const auto reports = fake.reports();
    ASSERT_EQ(reports.size(), c.reports) << c.payload;
    const size_t total = c.payload + 5;
    for (size_t i = 0; i < reports.size(); ++i) {
      EXPECT_EQ(reports[i][0], 0x01);
      EXPECT_EQ(get_be16(&reports[i][1]), i * 58) << c.payload;
      EXPECT_EQ(get_be16(&reports[i][3]), total) << c.payload;
    }
    // Bytes after the frame's end in the last report are zero.
    const auto& last = reports.back();
    const size_t used = total - (reports.size() - 1) * 58;
    for (size_t i = 5 + used; i < last.size(); ++i)
      ASSERT_EQ(last[i], 0) << c.payload << " byte " << i;
    ASSERT_EQ(fake.frames().size(), 1u);
    EXPECT_EQ(fake.frames()[0].payload, payload);
  }
}

TEST_F(SendMsg, FiftyFourBytePayloadSecondReportCarriesOneFrameByte) {
  std::vector<uint8_t> payload(54, 0xAA);
  ASSERT_TRUE(send_msg(cmd_eeprom, payload.data(), payload.size()));
  const auto reports = fake.reports();
  ASSERT_EQ(reports.size(), 2u);
  const auto frame = build_frame(cmd_eeprom, payload.data(), payload.size());
  EXPECT_EQ(reports[1][5], frame[58]);
  for (size_t i = 6; i < 63; ++i)
    EXPECT_EQ(reports[1][i], 0);
}

TEST_F(SendMsg, DeviceClosedSendsNothing) {
  link_bind_entries(fake.entries(), 65, false);
  EXPECT_FALSE(send_msg(cmd_read, nullptr, 0));
  EXPECT_TRUE(fake.reports().empty());
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(sending);
}

TEST_F(SendMsg, RefusedReportDoesNotStopTheFrameAndLastOutcomeCounts) {
  std::vector<uint8_t> payload(120, 1);  // 125-byte frame, three reports
  struct {
    uint16_t refused_offset;
    bool expected;
  } cases[] = {{0, true}, {58, true}, {116, false}};
  for (const auto& c : cases) {
    fake.clear_records();
    fake.set_outcome([&](const uint8_t* report) { return get_be16(report + 1) == c.refused_offset ? 0 : 1; });
    EXPECT_EQ(send_msg(cmd_flash, payload.data(), payload.size()), c.expected) << c.refused_offset;
    EXPECT_EQ(fake.reports().size(), 3u);
  }
}

TEST_F(SendMsg, SendingIsRaisedOnlyWhileTheFrameGoesOut) {
  bool raised_during_send = false;
  fake.set_outcome([&](const uint8_t*) {
    raised_during_send = sending;
    return 1;
  });
  ASSERT_TRUE(send_msg(cmd_read, nullptr, 0));
  EXPECT_TRUE(raised_during_send);
  EXPECT_FALSE(sending);
}

TEST_F(SendMsg, OversizedPayloadShowsErrorAndSendsNothing) {
  std::vector<uint8_t> payload(max_payload + 1);
  EXPECT_FALSE(send_msg(cmd_flash, payload.data(), payload.size()));
  EXPECT_TRUE(fake.reports().empty());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("65530"), std::string::npos) << errors[0];
  EXPECT_FALSE(sending);
}

TEST_F(SendMsg, FaultInLibraryStopsTheFrameAndFailsIt) {
  std::vector<uint8_t> payload(120, 1);
  fake.set_outcome([](const uint8_t* report) -> uint8_t {
    if (get_be16(report + 1) == 58)
      throw std::runtime_error("device gone");
    return 1;
  });
  EXPECT_FALSE(send_msg(cmd_flash, payload.data(), payload.size()));  // the frame did not reach the device
  EXPECT_EQ(fake.reports().size(), 2u);  // the faulting one was seen, the third never sent
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "device gone");

  errors.clear();
  fake.clear_records();
  fake.set_outcome([](const uint8_t*) -> uint8_t { throw std::runtime_error("at once"); });
  EXPECT_FALSE(send_msg(cmd_read, nullptr, 0));
  EXPECT_EQ(errors, std::vector<std::string>{"at once"});
}

TEST_F(SendMsg, ReportBufferIsAsLongAsTheDevicesOutputReports) {
  // The library sends OutputReportByteLength bytes from the buffer; the fake
  // reads as many, so a short buffer shows up under AddressSanitizer and as
  // garbage here.
  TFakeDevice wide;
  wide.output_len = 200;
  fake.set_devices({wide});
  fake.scan();
  fake.open(0);
  link_bind_entries(fake.entries(), 200, true);
  ASSERT_TRUE(send_msg(cmd_read, nullptr, 0));
  const auto reports = fake.reports();
  ASSERT_EQ(reports.size(), 1u);
  ASSERT_EQ(reports[0].size(), 200u);
  for (size_t i = 10; i < 200; ++i)
    ASSERT_EQ(reports[0][i], 0) << i;
}


// ---- reply dispatch ----

class Replies : public ::testing::Test {
 protected:
  void SetUp() override {
    link_reset_for_tests();
    TLinkHostFunctions host;
    host.update_finished = [this] { ++finished; };
    host.settings_reset = [this] { ++resets; };
    host.refresh = [] {};
    host.post_to_main = main_queue().poster();
    link_set_host(host);
  }
  void TearDown() override { link_reset_for_tests(); }
  int finished = 0;
  int resets = 0;
};

TEST_F(Replies, SettingsAreSanitisedOnArrival) {
  struct {
    const char* field;
    size_t byte;
    uint8_t received;
    uint8_t kept;
  } cases[] = {
      {"preset 7", 0, 7, 1},          {"preset 5", 0, 5, 5},          {"preset 6", 0, 6, 0},
      {"lr 9", 1, 9, 9},              {"src 0x1A", 5 + 2, 0x1A, 0x0A}, {"gain -128", 9, 0x80, 0xF1},
      {"gain 16", 9 + 3, 0x10, 15},   {"gain -15", 9 + 1, 0xF1, 0xF1}, {"gain -16", 9, 0xF0, 0xF1},
      {"ref 0x25", 13, 0x25, 5},      {"scale 4", 17 + 1, 4, 1},       {"delay 35", 21, 35, 0},
      {"delay 40", 21 + 3, 40, 5},    {"delay 34", 21 + 2, 34, 34},    {"delay_gpi 18", 25, 18, 0},
      {"delay_gpi 17", 25 + 1, 17, 17},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> record(29, 0);
    record[c.byte] = c.received;
    deliver_reply(cmd_read, record);
    const TSettings s = settings_get();
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&s)[c.byte], c.kept) << c.field;
  }
}

TEST_F(Replies, ReadReplyRefreshesWriteReplyDoesNot) {
  TSettings s{};
  s.preset = 2;
  s.gain[2] = -7;
  deliver_reply(cmd_write, settings_bytes(s));
  EXPECT_EQ(settings_get().gain[2], -7);
  EXPECT_FALSE(refresh_pending);
  s.gain[2] = 3;
  deliver_reply(cmd_read, settings_bytes(s));
  EXPECT_EQ(settings_get().gain[2], 3);
  EXPECT_TRUE(refresh_pending);
}

TEST_F(Replies, ShortSettingsReplyIsDroppedLongerOneUsesItsFirst29Bytes) {
  TSettings s{};
  s.preset = 3;
  s.delay[3] = 12;
  deliver_reply(cmd_read, settings_bytes(s));
  refresh_pending = false;

  // 28 declared bytes: its CRC and stale buffer bytes must not become settings.
  std::vector<uint8_t> shorter(28, 1);
  deliver_reply(cmd_read, shorter);
  deliver_reply(cmd_write, shorter);
  EXPECT_EQ(settings_get().preset, 3);
  EXPECT_EQ(settings_get().delay[3], 12);
  EXPECT_FALSE(refresh_pending);
  EXPECT_EQ(link_rx_size(), 0u);

  auto longer = settings_bytes(s);
  longer[0] = 1;
  longer.push_back(0xEE);
  deliver_reply(cmd_read, longer);
  EXPECT_EQ(settings_get().preset, 1);
  EXPECT_TRUE(refresh_pending);
}

TEST_F(Replies, UpdateRepliesReachTheDialogOtherCodesAreIgnored) {
  TSettings s{};
  s.preset = 2;
  deliver_reply(cmd_read, settings_bytes(s));
  refresh_pending = false;
  const uint8_t ignored[] = {cmd_flash, cmd_boot_request, cmd_erase, cmd_eeprom, cmd_update_close, 0x01, 0x7F};
  for (uint8_t code : ignored)
    deliver_reply(code, std::vector<uint8_t>(29, 0));
  EXPECT_EQ(settings_get().preset, 2);
  EXPECT_FALSE(refresh_pending);
  EXPECT_EQ(finished + resets, 0);

  deliver_reply(cmd_finish, {});
  deliver_reply(cmd_reset, {1, 2});
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(resets, 1);
}

TEST_F(Replies, AnErrorInTheDispatchNeverLeavesOnReport) {
  TLinkHostFunctions host;
  host.settings_reset = [] { throw std::runtime_error("dialog gone"); };
  link_set_host(host);
  EXPECT_NO_THROW(deliver_reply(cmd_reset, {}));
  EXPECT_EQ(link_rx_size(), 0u);
  TSettings s{};
  s.preset = 1;
  deliver_reply(cmd_read, settings_bytes(s));
  EXPECT_EQ(settings_get().preset, 1);
}

TEST(Payloads, EraseAndBlockLayouts) {
  EXPECT_EQ(erase_payload(0x0400), (std::vector<uint8_t>{0x04, 0x00}));
  const uint8_t block[] = {0xA1, 0xB2, 0xC3};
  EXPECT_EQ(block_payload(0x0500, block, 3), (std::vector<uint8_t>{0x05, 0x00, 0x00, 0x03, 0xA1, 0xB2, 0xC3}));
  std::vector<uint8_t> full(512, 0x11);
  const auto p = block_payload(0x1234, full.data(), full.size());
  ASSERT_EQ(p.size(), 516u);
  EXPECT_EQ(get_be16(&p[2]), 512);
}

}  // namespace
