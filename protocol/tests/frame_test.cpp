// Byte level of the device protocol: CRC, frames, report cutting and the
// reassembly of reports into frames.
#include "crc.h"
#include "frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// A report as the HID library hands it over: report ID, then 64 data bytes.
struct THIDReport {
  uint8_t ReportID;
  uint8_t Data[64];
};
static_assert(sizeof(THIDReport) == hid_report_len);

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

}  // namespace
