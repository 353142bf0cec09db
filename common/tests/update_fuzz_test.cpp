// Randomised reading: well-formed files built by the generator must read back
// exactly; random, mutated and truncated files must either be refused or give
// images consistent with the file, and never read outside it (run under ASan).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "UpdateFile.h"
#include "vnxu.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Generated {
  Bytes file, flash, eeprom;
};

// A well-formed file with random record sizes and types interleaved.
Generated random_file(std::mt19937& gen) {
  Generated g;
  std::vector<VnxuRecord> records;
  const int count = 1 + static_cast<int>(gen() % 40);
  for (int i = 0; i < count; ++i) {
    VnxuRecord r;
    const uint32_t pick = gen() % 10;
    r.type = pick < 4 ? 0 : pick < 7 ? 2 : static_cast<uint8_t>(1 + gen() % 255);
    if (r.type == 2 && pick >= 7) r.type = 3;
    r.data.resize(gen() % 257);
    for (auto& b : r.data) b = static_cast<uint8_t>(gen());
    if (r.type == 0) g.flash.insert(g.flash.end(), r.data.begin(), r.data.end());
    if (r.type == 2) g.eeprom.insert(g.eeprom.end(), r.data.begin(), r.data.end());
    records.push_back(std::move(r));
  }
  g.file = make_vnxu("NAME=MX-540KTR&VERSION=1.0&", records);
  return g;
}

bool is_prefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(UpdateFuzz, WellFormedFilesReadBackExactly) {
  std::mt19937 gen(1);
  for (int i = 0; i < 500; ++i) {
    auto g = random_file(gen);
    auto u = read_update_file(g.file, "MX-540KTR (boot)");
    ASSERT_EQ(u.fault, UpdateFileFault::wrong_device);   // the blank stays
    u = read_update_file(g.file, "MX-540KTR(boot)");
    ASSERT_TRUE(u.ok()) << update_file_fault_text(u.fault);
    ASSERT_EQ(u.flash, g.flash);
    ASSERT_EQ(u.eeprom, g.eeprom);
  }
}

TEST(UpdateFuzz, TruncatedFilesGivePrefixesOrAreRefused) {
  std::mt19937 gen(2);
  for (int i = 0; i < 60; ++i) {
    auto g = random_file(gen);
    for (size_t n = 0; n < g.file.size(); ++n) {
      // An exact copy of the prefix, so ASan sees any read beyond it.
      const Bytes cut(g.file.begin(), g.file.begin() + static_cast<std::ptrdiff_t>(n));
      auto u = read_update_file(cut, "MX-540KTR");
      if (u.ok()) {
        ASSERT_TRUE(is_prefix(u.flash, g.flash)) << n;
        ASSERT_TRUE(is_prefix(u.eeprom, g.eeprom)) << n;
        ASSERT_LT(u.flash.size() + u.eeprom.size(), g.flash.size() + g.eeprom.size() + 1);
      }
    }
  }
}

TEST(UpdateFuzz, MutatedAndRandomFilesStayInsideTheFile) {
  std::mt19937 gen(3);
  int accepted = 0, refused = 0;
  for (int i = 0; i < 20000; ++i) {
    Bytes file;
    if (i % 4 == 0) {
      file.resize(gen() % 600);
      for (auto& b : file) b = static_cast<uint8_t>(gen());
      if (file.size() >= 2 && gen() % 2) {   // a plausible H now and then
        file[0] = 0;
        file[1] = static_cast<uint8_t>(3 + gen() % 40);
      }
    } else {
      file = random_file(gen).file;
      const int flips = 1 + static_cast<int>(gen() % 4);
      for (int k = 0; k < flips; ++k) {
        const size_t at = gen() % file.size();
        switch (gen() % 3) {
          case 0: file[at] = static_cast<uint8_t>(gen()); break;
          case 1: file.erase(file.begin() + static_cast<std::ptrdiff_t>(at)); break;
          default: file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(gen())); break;
        }
        if (file.empty()) break;
      }
    }
    Tinf inf;
    const auto header = read_update_header(file, inf);
    auto u = read_update_file(file, inf.name);
    if (header != UpdateFileFault::none) {
      ASSERT_EQ(u.fault, header);
    }
    if (u.ok()) {
      ++accepted;
      const size_t h = static_cast<size_t>(file[0]) << 8 | file[1];
      // Every image byte comes from a record of at least 9 bytes in the area.
      ASSERT_LE(u.flash.size() + u.eeprom.size() + 9, file.size() - h);
      ASSERT_EQ(u.inf.name, inf.name);
    } else {
      ++refused;
      ASSERT_TRUE(u.flash.empty() && u.eeprom.empty());
    }
  }
  // Both outcomes must be exercised for the run to mean anything.
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
}

}  // namespace
