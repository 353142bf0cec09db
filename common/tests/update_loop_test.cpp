// The write loop over a recording mailbox: block addresses, padding, order,
// progress figures, cmd_finish, and the stop after a failed block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UpdateLoop.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Post {
  char kind;   // 'F' flash block, 'E' EEPROM block, 'P' progress, 'X' cmd_finish
  int value;   // address or percent
  Bytes block;
};

struct Recorder {
  std::vector<Post> posts;
  int fail_at = -1;   // index of the block (counted over both images) that is refused
  int blocks = 0;

  UpdatePoster poster() {
    auto block = [this](char kind) {
      return [this, kind](uint16_t adr, const uint8_t* b, size_t n) {
        posts.push_back({kind, adr, Bytes(b, b + n)});
        return blocks++ != fail_at;
      };
    };
    return {block('F'), block('E'), [this] { posts.push_back({'X', 0, {}}); },
            [this](int p) { posts.push_back({'P', p, {}}); }};
  }
  std::string trace() const {
    std::string s;
    for (const auto& p : posts) s += p.kind + std::to_string(p.value) + " ";
    return s;
  }
};

Bytes seq(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i * 7);
  return b;
}

TEST(UpdateLoop, ThousandByteFlashMakesTwoPaddedBlocks) {
  const Bytes flash = seq(1000, 1);
  Recorder r;
  EXPECT_EQ(run_update(flash, {}, r.poster()), UpdateOutcome::finished);
  EXPECT_EQ(r.trace(), "F0 P51 F512 P100 X0 ");
  ASSERT_EQ(r.posts[0].block.size(), 512u);
  ASSERT_EQ(r.posts[2].block.size(), 512u);
  EXPECT_EQ(Bytes(r.posts[0].block.begin(), r.posts[0].block.end()), Bytes(flash.begin(), flash.begin() + 512));
  EXPECT_EQ(Bytes(r.posts[2].block.begin(), r.posts[2].block.begin() + 488), Bytes(flash.begin() + 512, flash.end()));
  EXPECT_EQ(Bytes(r.posts[2].block.begin() + 488, r.posts[2].block.end()), Bytes(24, 0xFF));
}

TEST(UpdateLoop, ProgressCountsBothImages) {
  Recorder r;
  EXPECT_EQ(run_update(seq(1000, 1), seq(600, 9), r.poster()), UpdateOutcome::finished);
  // 512/1600 = 32 %, 1000/1600 = 62.5 % rounds to the even 62, then 1512/1600
  // = 94.5 % to 94, then 100 %.
  EXPECT_EQ(r.trace(), "F0 P32 F512 P62 E0 P94 E512 P100 X0 ");
  EXPECT_EQ(Bytes(r.posts[6].block.begin() + 88, r.posts[6].block.end()), Bytes(424, 0xFF));
}

TEST(UpdateLoop, ProgressFormulaRoundsHalfToEven) {
  struct Case {
    size_t fd, ed, fs, es;
    int percent;
  } cases[] = {
      {512, 0, 1000, 600, 32}, {1000, 0, 1000, 600, 62}, {1000, 512, 1000, 600, 94},
      {1, 0, 200, 0, 0},       // 0.5 -> 0
      {3, 0, 200, 0, 2},       // 1.5 -> 2
      {5, 0, 200, 0, 2},       // 2.5 -> 2
      {1, 0, 8, 0, 12},        // 12.5 -> 12
      {3, 0, 8, 0, 38},        // 37.5 -> 38
      {0, 0, 0, 0, 0},         {65536, 4096, 65536, 4096, 100},
  };
  for (const auto& c : cases)
    EXPECT_EQ(update_progress(c.fd, c.ed, c.fs, c.es), c.percent) << c.fd << "+" << c.ed << " of " << c.fs << "+" << c.es;
}

TEST(UpdateLoop, EmptyImages) {
  Recorder eeprom_empty;
  EXPECT_EQ(run_update(seq(1024, 1), {}, eeprom_empty.poster()), UpdateOutcome::finished);
  EXPECT_EQ(eeprom_empty.trace(), "F0 P50 F512 P100 X0 ");

  Recorder flash_empty;
  EXPECT_EQ(run_update({}, seq(10, 1), flash_empty.poster()), UpdateOutcome::finished);
  EXPECT_EQ(flash_empty.trace(), "E0 P100 X0 ");

  Recorder both_empty;
  EXPECT_EQ(run_update({}, {}, both_empty.poster()), UpdateOutcome::finished);
  EXPECT_EQ(both_empty.trace(), "X0 ");
}

TEST(UpdateLoop, FailedBlockStopsEverything) {
  struct Case {
    int fail_at;
    std::string trace;
  } cases[] = {
      {0, "F0 "},
      {1, "F0 P32 F512 "},
      {2, "F0 P32 F512 P62 E0 "},
      {3, "F0 P32 F512 P62 E0 P94 E512 "},
  };
  for (const auto& c : cases) {
    Recorder r;
    r.fail_at = c.fail_at;
    EXPECT_EQ(run_update(seq(1000, 1), seq(600, 9), r.poster()), UpdateOutcome::failed);
    EXPECT_EQ(r.trace(), c.trace);
  }
}

TEST(UpdateLoop, ImagesBeyond16BitAddressesSendNothing) {
  Recorder r;
  EXPECT_EQ(run_update(Bytes(65537, 0), {}, r.poster()), UpdateOutcome::too_large);
  EXPECT_EQ(run_update({}, Bytes(70000, 0), r.poster()), UpdateOutcome::too_large);
  EXPECT_TRUE(r.posts.empty());

  // 64 KiB exactly: the last block goes to 65024 (0xFE00).
  Recorder full;
  EXPECT_EQ(run_update(Bytes(65536, 0x11), {}, full.poster()), UpdateOutcome::finished);
  ASSERT_EQ(full.posts.size(), 128u * 2 + 1);
  EXPECT_EQ(full.posts[254].value, 65024);
}

}  // namespace
