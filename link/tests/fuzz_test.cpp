// Random, truncated and mutated input reports into on_report. Under
// AddressSanitizer any read or write outside the reassembly buffer or the
// report aborts the run; the assertions check what must hold whatever arrives.
#include "USB.h"
#include "fake_hid.h"
#include "link_testing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

namespace {

bool in_range(const TSettings& s) {
  if (s.preset > 5)
    return false;
  for (int p = 0; p < 4; ++p) {
    if (s.src[p] > 15 || s.gain[p] < -15 || s.gain[p] > 15 || s.ref[p] > 31 || s.scale[p] > 2 ||
        s.delay[p] > 34 || s.delay_gpi[p] > 17)
      return false;
  }
  return true;
}

class OnReportFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    link_reset_for_tests();
    TLinkHostFunctions host;
    host.update_finished = [] {};
    host.settings_reset = [] {};
    link_set_host(host);
  }
  void TearDown() override { link_reset_for_tests(); }
};

TEST_F(OnReportFuzz, NothingArrivingBreaksTheBufferOrTheRecord) {
  std::mt19937 rng(20261209);
  auto byte = [&] { return static_cast<uint8_t>(rng()); };
  const int rounds = 60000;
  for (int round = 0; round < rounds; ++round) {
    THIDReport r;
    for (size_t i = 0; i < sizeof r; ++i)
      reinterpret_cast<uint8_t*>(&r)[i] = byte();
    switch (rng() % 6) {
      case 0:  // anywhere in the 16-bit range, up to the largest offset
        break;
      case 1:  // small offsets and marks, so frames complete often
        put_be16(r.Data, static_cast<uint16_t>(rng() % 300));
        put_be16(r.Data + 2, static_cast<uint16_t>(rng() % 300));
        break;
      case 2:  // the largest offsets the buffer can be asked to grow to
        put_be16(r.Data, static_cast<uint16_t>(0xFFFF - rng() % 64));
        put_be16(r.Data + 2, static_cast<uint16_t>(rng() % 2 ? 0 : 0xFFFF));
        break;
      default: {  // a real settings reply, mutated and cut short in its declared length
        std::vector<uint8_t> payload(rng() % 40);
        for (auto& b : payload)
          b = byte();
        auto frame = build_frame(rng() % 2 ? cmd_read : cmd_write, payload.data(), payload.size());
        if (rng() % 3 == 0)
          frame[rng() % frame.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
        if (rng() % 4 == 0)
          put_be16(&frame[1], static_cast<uint16_t>(rng()));
        const auto reports = cut_frame(frame, TMarkKind::end_mark);
        for (const auto& bytes : reports) {
          std::memcpy(&r, bytes.data(), sizeof r);
          on_report(r, static_cast<uint8_t>(rng()));
        }
        ASSERT_EQ(link_rx_size(), 0u) << "round " << round;
        continue;
      }
    }
    on_report(r, static_cast<uint8_t>(rng()));
    ASSERT_LE(link_rx_size(), 65535u + 58u);
    ASSERT_TRUE(in_range(settings_get())) << "round " << round;
  }

  // Whatever came before, a completed good frame still gets through.
  THIDReport closing;
  std::memset(&closing, 0, sizeof closing);
  on_report(closing, 1);  // offset 0 >= mark 0: judges and empties the buffer
  TSettings s{};
  s.preset = 3;
  s.gain[1] = -9;
  deliver_reply(cmd_read, settings_bytes(s));
  EXPECT_EQ(settings_get().preset, 3);
  EXPECT_EQ(settings_get().gain[1], -9);
}

}  // namespace
