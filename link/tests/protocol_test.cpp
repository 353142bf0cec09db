// Byte level of the device protocol: CRC, frames, output reports, reassembly of
// input reports and the reply dispatch with its settings record.
#include "USB.h"
#include "crc.h"
#include "fake_hid.h"
#include "link_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

std::vector<uint8_t> bytes_of(const char* s) { return {s, s + std::strlen(s)}; }

TEST(Crc16, CheckValueAndEmptyInput) {
  const auto check = bytes_of("123456789");
  EXPECT_EQ(crc16(check.data(), check.size()), 0x4B37);
  EXPECT_EQ(crc16(nullptr, 0), 0xFFFF);
  // The frame carries the CRC high byte first, unlike Modbus RTU.
  const auto frame = build_frame(0x31, check.data() + 1, 8);
  std::vector<uint8_t> head = {0x31, 0x00, 0x08};
  head.insert(head.end(), check.begin() + 1, check.end());
  const uint16_t crc = crc16(head.data(), head.size());
  EXPECT_EQ(frame[11], crc >> 8);
  EXPECT_EQ(frame[12], crc & 0xFF);
}

TEST(SwapBytes, ReversesTwoFourEightOtherwiseLowByte) {
  struct {
    uint64_t value;
    int width;
    uint64_t expected;
  } cases[] = {
      {0x1234, 2, 0x3412},
      {0x12345678, 4, 0x78563412},
      {0x0102030405060708ull, 8, 0x0807060504030201ull},
      {0x123456, 3, 0x56},
      {0x1234, 1, 0x34},
      {0x1234, 0, 0x34},
  };
  for (const auto& c : cases)
    EXPECT_EQ(swap_bytes(c.value, c.width), c.expected) << "width " << c.width;
}

TEST(BuildFrame, KnownFramesAndLengthLimit) {
  EXPECT_EQ(build_frame(cmd_read, nullptr, 0), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0xC0, 0x71}));
  EXPECT_EQ(build_frame(cmd_reset, nullptr, 0), (std::vector<uint8_t>{0xFD, 0x00, 0x00, 0x30, 0xE0}));
  std::vector<uint8_t> big(max_payload + 1);
  EXPECT_THROW(build_frame(cmd_flash, big.data(), big.size()), std::length_error);
  EXPECT_EQ(build_frame(cmd_flash, big.data(), max_payload).size(), 65535u);
}

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

// ---- receiving ----

THIDReport make_report(uint16_t offset, uint16_t mark, const std::vector<uint8_t>& frame) {
  THIDReport r;
  std::memset(&r, 0, sizeof r);
  r.ReportID = 1;
  put_be16(r.Data, offset);
  put_be16(r.Data + 2, mark);
  if (offset < frame.size())
    std::memcpy(r.Data + 4, frame.data() + offset, std::min<size_t>(58, frame.size() - offset));
  return r;
}

TEST(Reassembly, CompletionByEndMarkInAnyOrder) {
  std::vector<uint8_t> payload(150);
  for (size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<uint8_t>(i);
  const auto frame = build_frame(0x42, payload.data(), payload.size());  // 155 bytes: 0, 58, 116
  TFrameAssembler rx;
  TFrame out;
  auto feed = [&](const THIDReport& r) { return rx.feed(reinterpret_cast<const uint8_t*>(&r), sizeof r, out); };

  // Middle first, then the start, then the piece that reaches the end mark.
  EXPECT_EQ(feed(make_report(58, 116, frame)), TFrameAssembler::TFeed::partial);
  EXPECT_EQ(feed(make_report(0, 116, frame)), TFrameAssembler::TFeed::partial);
  EXPECT_EQ(feed(make_report(116, 116, frame)), TFrameAssembler::TFeed::good);
  EXPECT_EQ(out.cmd, 0x42);
  EXPECT_EQ(out.payload, payload);
  EXPECT_EQ(rx.size(), 0u);

  // The same offset twice: the last write wins.
  auto corrupt = make_report(0, 116, frame);
  corrupt.Data[10] ^= 0xFF;
  EXPECT_EQ(feed(corrupt), TFrameAssembler::TFeed::partial);
  EXPECT_EQ(feed(make_report(0, 116, frame)), TFrameAssembler::TFeed::partial);
  EXPECT_EQ(feed(make_report(58, 116, frame)), TFrameAssembler::TFeed::partial);
  EXPECT_EQ(feed(make_report(116, 116, frame)), TFrameAssembler::TFeed::good);
  EXPECT_EQ(out.payload, payload);
}

TEST(Reassembly, OffsetZeroMarkZeroCompletesAtOnceAndMarkFiftyEightWaits) {
  TFrameAssembler rx;
  TFrame out;
  const auto small = build_frame(cmd_read, nullptr, 0);
  auto r = make_report(0, 0, small);
  EXPECT_EQ(rx.feed(reinterpret_cast<const uint8_t*>(&r), sizeof r, out), TFrameAssembler::TFeed::good);

  std::vector<uint8_t> payload(100, 9);
  const auto two = build_frame(cmd_read, payload.data(), payload.size());
  r = make_report(0, 58, two);
  EXPECT_EQ(rx.feed(reinterpret_cast<const uint8_t*>(&r), sizeof r, out), TFrameAssembler::TFeed::partial);
  EXPECT_EQ(rx.size(), 58u);
  r = make_report(58, 58, two);
  EXPECT_EQ(rx.feed(reinterpret_cast<const uint8_t*>(&r), sizeof r, out), TFrameAssembler::TFeed::good);
  EXPECT_EQ(out.payload, payload);
}

TEST(Reassembly, DropsShortAndCorruptedFramesAndStartsEmpty) {
  TFrameAssembler rx;
  TFrame out;
  std::vector<uint8_t> payload(80, 3);
  auto frame = build_frame(cmd_read, payload.data(), payload.size());

  // Length claims 85 bytes, but the completing report came with only 58.
  auto r = make_report(0, 0, frame);
  EXPECT_EQ(rx.feed(reinterpret_cast<const uint8_t*>(&r), sizeof r, out), TFrameAssembler::TFeed::bad);
  EXPECT_EQ(rx.size(), 0u);

  // Every single flipped bit of a one-report frame is caught by the CRC.
  const auto good = build_frame(cmd_write, payload.data(), 29);
  for (size_t bit = 0; bit < good.size() * 8; ++bit) {
    auto bad = good;
    bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    r = make_report(0, 0, bad);
    const auto verdict = rx.feed(reinterpret_cast<const uint8_t*>(&r), sizeof r, out);
    ASSERT_EQ(verdict, TFrameAssembler::TFeed::bad) << "bit " << bit;
  }
  r = make_report(0, 0, good);
  EXPECT_EQ(rx.feed(reinterpret_cast<const uint8_t*>(&r), sizeof r, out), TFrameAssembler::TFeed::good);
}

TEST(Reassembly, HostToDeviceReportsCompleteByTotal) {
  std::vector<uint8_t> payload(54, 0x5A);
  const auto frame = build_frame(cmd_flash, payload.data(), payload.size());
  TFrameAssembler device(TMarkKind::total);
  TFrame out;
  const auto reports = cut_frame(frame, TMarkKind::total);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(device.feed(reports[0].data(), reports[0].size(), out), TFrameAssembler::TFeed::partial);
  EXPECT_EQ(device.feed(reports[1].data(), reports[1].size(), out), TFrameAssembler::TFeed::good);
  EXPECT_EQ(out.payload, payload);
  // Device-to-host reports carry the last report's offset as end mark.
  const auto replies = cut_frame(frame, TMarkKind::end_mark);
  EXPECT_EQ(get_be16(&replies[0][3]), 58);
  EXPECT_EQ(get_be16(&replies[1][3]), 58);
}

TEST(Reassembly, FramesOfWholeReportsAreCutIntoExactlyThatManyAndComplete) {
  // Frame lengths that fill their last report exactly: no empty report after it.
  for (size_t reports_expected : {1u, 2u, 3u, 9u}) {
    const size_t frame_len = reports_expected * 58;
    std::vector<uint8_t> payload(frame_len - 5);
    for (size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<uint8_t>(i * 13 + reports_expected);
    const auto frame = build_frame(cmd_flash, payload.data(), payload.size());
    ASSERT_EQ(frame.size(), frame_len);
    const size_t last_offset = frame_len - 58;

    const auto replies = cut_frame(frame, TMarkKind::end_mark);
    ASSERT_EQ(replies.size(), reports_expected) << frame_len;
    TFrameAssembler host;
    TFrame out;
    for (size_t i = 0; i < replies.size(); ++i) {
      EXPECT_EQ(get_be16(&replies[i][1]), i * 58) << frame_len;
      EXPECT_EQ(get_be16(&replies[i][3]), last_offset) << frame_len << " report " << i;
      const auto verdict = host.feed(replies[i].data(), replies[i].size(), out);
      EXPECT_EQ(verdict, i + 1 == replies.size() ? TFrameAssembler::TFeed::good : TFrameAssembler::TFeed::partial)
          << frame_len << " report " << i;
    }
    EXPECT_EQ(out.payload, payload) << frame_len;
    // The last report carries the frame's last 58 bytes.
    EXPECT_TRUE(std::equal(frame.end() - 58, frame.end(), replies.back().begin() + 5)) << frame_len;

    const auto requests = cut_frame(frame, TMarkKind::total);
    ASSERT_EQ(requests.size(), reports_expected) << frame_len;
    EXPECT_EQ(get_be16(&requests.back()[3]), frame_len);
  }
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
