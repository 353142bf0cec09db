// The update file reader: header keys, the device-name check, the record walk
// and every malformed file, which must be refused before anything is sent.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "UpdateFile.h"
#include "vnxu.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes seq(size_t n, uint8_t first) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

// One raw record: L as given, four filler bytes, type, data, two filler bytes.
Bytes raw_record(uint16_t len, uint8_t type, const Bytes& data, size_t trailer = 2) {
  Bytes r = {static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0xA1, 0xA2, 0xA3, 0xA4, type};
  r.insert(r.end(), data.begin(), data.end());
  r.insert(r.end(), trailer, 0xEE);
  return r;
}

Bytes with_header(const std::string& text, const Bytes& area) {
  Bytes f = make_vnxu(text, {});
  f.insert(f.end(), area.begin(), area.end());
  return f;
}

const Bytes one_record = raw_record(4, 0, {1, 2, 3, 4});

TEST(UpdateHeader, NameAndVersionKeys) {
  struct Case {
    std::string text;
    std::string name;
    int major, minor;
  } cases[] = {
      {"NAME=MX-540KTR&VERSION=1.2&", "MX-540KTR", 1, 2},
      {"NAME=MX-540KTR&VERSION=3.7", "MX-540KTR", 3, 7},
      {"NAME=X&VERSION=37&", "X", 3, 0},           // the third character is "&"
      {"NAME=X&VERSION=3", "X", 3, 0},             // minor position past the text
      {"NAME=X&VERSION=", "X", 0, 0},
      {"NAME=X&VERSION=a-9", "X", 0, 9},           // middle character not looked at
      {"NAME=X&", "X", 0, 0},                      // no VERSION
      {"NAME=&", "", 0, 0},                        // empty but well-formed
      {"NAME=MX 540 (boot)&", "MX 540 (boot)", 0, 0},
      {"DATE=2020&VERSION=9.9&", "", 9, 9},        // no NAME: empty name
      {"name=X&", "", 0, 0},                       // keys are case-sensitive
      {"NAME=A&NAME=B&VERSION=1.1&VERSION=2.2", "A", 1, 1},   // first occurrence counts
      {"xxNAME=Y&zz", "Y", 0, 0},
      {"", "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Tinf inf;
    ASSERT_EQ(read_update_header(with_header(c.text, one_record), inf), UpdateFileFault::none);
    EXPECT_EQ(inf.name, c.name);
    EXPECT_EQ(inf.version[0], c.major);
    EXPECT_EQ(inf.version[1], c.minor);
    EXPECT_TRUE(inf.date.empty());
  }
}

TEST(UpdateHeader, TextEndsAtFirstZeroOrAtEndOfBlock) {
  // "&" after a zero byte is outside the text.
  Bytes f = {0x00, 0x0C};
  for (char ch : std::string("NAME=AB\0&xx", 10)) f.push_back(static_cast<uint8_t>(ch));
  f.insert(f.end(), one_record.begin(), one_record.end());
  Tinf inf;
  EXPECT_EQ(read_update_header(f, inf), UpdateFileFault::name_not_ended);

  // No zero byte: the text runs to H - 1; the record area's bytes are not text.
  Bytes g = {0x00, 0x09};
  for (char ch : std::string("NAME=AB")) g.push_back(static_cast<uint8_t>(ch));
  Bytes area = raw_record(1, 0, {'&'});
  g.insert(g.end(), area.begin(), area.end());
  EXPECT_EQ(read_update_header(g, inf), UpdateFileFault::name_not_ended);
  g[8] = '&';   // last byte of the header block
  ASSERT_EQ(read_update_header(g, inf), UpdateFileFault::none);
  EXPECT_EQ(inf.name, "A");

  // The shortest header: H = 3, one byte of text.
  Bytes h = {0x00, 0x03, 'Z'};
  h.insert(h.end(), one_record.begin(), one_record.end());
  ASSERT_EQ(read_update_header(h, inf), UpdateFileFault::none);
  EXPECT_EQ(inf.name, "");
}

TEST(UpdateHeader, MalformedHeadersAreRefused) {
  struct Case {
    const char* what;
    Bytes file;
    UpdateFileFault fault;
  } cases[] = {
      {"empty file", {}, UpdateFileFault::too_short},
      {"one byte", {0x00}, UpdateFileFault::too_short},
      {"H = 0", {0x00, 0x00, 'N'}, UpdateFileFault::header_too_short},
      {"H = 2", {0x00, 0x02, 'N'}, UpdateFileFault::header_too_short},
      {"H past the end", {0x00, 0x10, 'N', 'A'}, UpdateFileFault::header_past_end},
      {"H = 0xFFFF, short file", {0xFF, 0xFF, 'N'}, UpdateFileFault::header_past_end},
      {"NAME= without &", with_header("NAME=MX-540KTR", one_record), UpdateFileFault::name_not_ended},
      {"& only before NAME=", with_header("V=1&NAME=MX-540KTR", one_record), UpdateFileFault::name_not_ended},
      {"& inside the key", with_header("NAME&=X", one_record), UpdateFileFault::none},   // no NAME= at all
      {"larger than any valid file", Bytes(max_update_file_size + 1, 0x00), UpdateFileFault::too_large},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Tinf inf;
    EXPECT_EQ(read_update_header(c.file, inf), c.fault);
    // The whole reading stops at the same fault and hands out no image.
    if (c.fault != UpdateFileFault::none) {
      auto u = read_update_file(c.file, "");
      EXPECT_EQ(u.fault, c.fault);
      EXPECT_TRUE(u.flash.empty() && u.eeprom.empty());
    }
  }
}

TEST(UpdateName, FirstBootMarkDeletedThenExactMatch) {
  struct Case {
    std::string dev_name, name;
    bool fits;
  } cases[] = {
      {"MX-540KTR (boot)", "MX-540KTR ", true},     // the blank before "(boot)" stays
      {"MX-540KTR (boot)", "MX-540KTR", false},
      {"MX-540KTR(boot)", "MX-540KTR", true},
      {"MX-540KTR", "MX-540KTR", true},
      {"MX-540KTR", "mx-540ktr", false},
      {"MX-540KTR", "MX-540KTR ", false},
      {"(boot)MX(boot)", "MX(boot)", true},          // only the first one goes
      {"MX-540KTR (BOOT)", "MX-540KTR ", false},
      {"MX-540KTR (boot)", "", false},               // a file without NAME never fits a named device
      {"", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dev_name + " / " + c.name);
    EXPECT_EQ(update_name_fits(c.dev_name, c.name), c.fits);
  }
}

TEST(UpdateFileReading, WrongDeviceStopsBeforeTheRecords) {
  // The record area is broken too, but the name check comes first.
  auto f = with_header("NAME=MX-999&", raw_record(100, 0, {1, 2}));
  auto u = read_update_file(f, "MX-540KTR (boot)");
  EXPECT_EQ(u.fault, UpdateFileFault::wrong_device);
  EXPECT_EQ(u.inf.name, "MX-999");
}

TEST(UpdateRecords, TypesStrideAndConcatenation) {
  const Bytes a = seq(10, 0x10), b = seq(7, 0x40), c = seq(5, 0x80), d = seq(3, 0xC0);
  Bytes area;
  for (const Bytes& r : {raw_record(10, 0, a), raw_record(3, 1, d), raw_record(7, 2, b), raw_record(3, 3, d),
                         raw_record(5, 0, c), raw_record(3, 255, d), raw_record(0, 2, {}), raw_record(3, 2, d)})
    area.insert(area.end(), r.begin(), r.end());
  auto u = read_update_file(with_header("NAME=M&", area), "M(boot)");
  ASSERT_TRUE(u.ok()) << update_file_fault_text(u.fault);
  Bytes flash = a;
  flash.insert(flash.end(), c.begin(), c.end());
  Bytes eeprom = b;
  eeprom.insert(eeprom.end(), d.begin(), d.end());
  EXPECT_EQ(u.flash, flash);
  EXPECT_EQ(u.eeprom, eeprom);
}

TEST(UpdateRecords, LengthOver256IsCappedAndSetsTheStride) {
  // L = 300: 256 bytes taken, and the next record starts 265 bytes after this
  // one, that is inside the 300 bytes the record claims to have.
  Bytes data = seq(256, 0);
  Bytes next = raw_record(2, 2, {0x55, 0x66});
  Bytes area = raw_record(300, 0, data);   // 7 + 256 + 2 = 265 bytes
  area.insert(area.end(), next.begin(), next.end());
  auto u = read_update_file(with_header("NAME=M&", area), "M");
  ASSERT_TRUE(u.ok()) << update_file_fault_text(u.fault);
  EXPECT_EQ(u.flash, data);
  EXPECT_EQ(u.eeprom, (Bytes{0x55, 0x66}));

  // Exactly 256 is not cut; 0xFFFF is cut like 300.
  u = read_update_file(with_header("NAME=M&", raw_record(0xFFFF, 2, data)), "M");
  ASSERT_TRUE(u.ok());
  EXPECT_EQ(u.eeprom, data);
}

TEST(UpdateRecords, MalformedRecordAreasAreRefused) {
  Bytes big_area;
  while (big_area.size() < 65535 - 264) {
    Bytes r = raw_record(256, 0, Bytes(256, 0x5A));
    big_area.insert(big_area.end(), r.begin(), r.end());
  }
  // Fill the area up to exactly 65,535 bytes with one more record.
  const size_t rest = 65535 - big_area.size();
  Bytes last = raw_record(static_cast<uint16_t>(rest - 9), 3, Bytes(rest - 9, 0));
  Bytes max_area = big_area;
  max_area.insert(max_area.end(), last.begin(), last.end());
  ASSERT_EQ(max_area.size(), 65535u);
  Bytes over_area = max_area;
  over_area.insert(over_area.end(), one_record.begin(), one_record.end());

  struct Case {
    const char* what;
    Bytes area;
    UpdateFileFault fault;
  } cases[] = {
      {"no record at all", {}, UpdateFileFault::no_records},
      {"data running past the end", raw_record(10, 0, seq(5, 0), 0), UpdateFileFault::record_past_end},
      {"trailer missing", raw_record(4, 0, seq(4, 0), 0), UpdateFileFault::record_past_end},
      {"one trailer byte missing", raw_record(4, 0, seq(4, 0), 1), UpdateFileFault::record_past_end},
      {"stray bytes after the last record", [] { Bytes b = one_record; b.push_back(0); return b; }(),
       UpdateFileFault::record_past_end},
      {"fewer bytes than a record's fixed part", {0x00, 0x00, 1, 2, 3}, UpdateFileFault::record_past_end},
      {"L = 300 with fewer than 256 data bytes", raw_record(300, 0, seq(200, 0)),
       UpdateFileFault::record_past_end},
      {"area of 65,535 bytes", max_area, UpdateFileFault::none},
      {"area of 65,535 + 11 bytes", over_area, UpdateFileFault::records_too_long},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto u = read_update_file(with_header("NAME=M&", c.area), "M");
    EXPECT_EQ(u.fault, c.fault) << update_file_fault_text(u.fault);
    if (c.fault != UpdateFileFault::none) {
      EXPECT_TRUE(u.flash.empty() && u.eeprom.empty());
    }
  }
}

TEST(UpdateRecords, LargestImagesStillHave16BitBlockAddresses) {
  // The largest area gives images below 64 KiB, so the check never trips on a
  // file; it guards the block addresses against images from anywhere else.
  EXPECT_TRUE(update_images_fit(65536, 65536));
  EXPECT_FALSE(update_images_fit(65537, 0));
  EXPECT_FALSE(update_images_fit(0, 65537));
}

TEST(UpdateRecords, GeneratorRoundTrip) {
  const Bytes flash = seq(1000, 3), eeprom = seq(600, 7);
  auto f = make_vnxu_file("MX-540KTR", 2, 5, flash, eeprom);
  auto u = read_update_file(f, "MX-540KTR(boot)");
  ASSERT_TRUE(u.ok()) << update_file_fault_text(u.fault);
  EXPECT_EQ(u.inf.name, "MX-540KTR");
  EXPECT_EQ(u.inf.version[0], 2);
  EXPECT_EQ(u.inf.version[1], 5);
  EXPECT_EQ(u.flash, flash);
  EXPECT_EQ(u.eeprom, eeprom);
}

}  // namespace
