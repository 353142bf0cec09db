#include "crc.h"

#include <array>

namespace {

constexpr std::array<uint16_t, 256> make_table() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t value = static_cast<uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      value = (value & 1) ? static_cast<uint16_t>((value >> 1) ^ 0xA001) : static_cast<uint16_t>(value >> 1);
    table[i] = value;
  }
  return table;
}

constexpr std::array<uint16_t, 256> crc_table = make_table();

}  // namespace

uint16_t crc16(const uint8_t* bytes, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i)
    crc = static_cast<uint16_t>(crc_table[(bytes[i] ^ crc) & 0xFF] ^ (crc >> 8));
  return crc;
}
