// Writes update files (*.vnxu) for tests and demos. The control panel itself
// only reads them; this is the project's own generator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct VnxuRecord {
  uint8_t type = 0;                   // 0 flash, 2 EEPROM, anything else is skipped by readers
  std::vector<uint8_t> data;
  std::optional<uint16_t> declared;   // L as written, when it must differ from data.size()
};

// Header block (H, text, a closing zero byte) followed by the records. The
// four bytes after L hold the record's offset in its image, the two after the
// data a 16-bit sum of the data; readers ignore both.
std::vector<uint8_t> make_vnxu(const std::string& header_text, const std::vector<VnxuRecord>& records);

// Records for two images, `chunk` data bytes at most per record (256 is the
// most a reader takes from one record).
std::vector<VnxuRecord> vnxu_records(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& eeprom,
                                     size_t chunk = 256);

// "NAME=<name>&VERSION=<major>.<minor>&" and the records of both images.
std::vector<uint8_t> make_vnxu_file(const std::string& name, int major, int minor,
                                    const std::vector<uint8_t>& flash, const std::vector<uint8_t>& eeprom);
