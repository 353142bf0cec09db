// The settings record's layout as it travels between the control panel and the
// device (29 bytes, the payload of cmd_read and cmd_write replies and of a
// write), and the ranges a received record is brought into.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t settings_record_size = 29;

#pragma pack(push, 1)
// The settings record as it travels: the active preset, then seven arrays with
// one entry per preset (preset p's fields sit at bytes 1+p, 5+p, ... 25+p).
struct TSettings {
  uint8_t preset;
  uint8_t lr[4];         // bit 0 left, bit 1 right
  uint8_t src[4];        // SDI pair n = channels 2n+1, 2n+2
  int8_t gain[4];        // dB
  uint8_t ref[4];        // -n dBFS
  uint8_t scale[4];      // 0 dB, 1 dBFS, 2 dB-18..+10
  uint8_t delay[4];      // 10 ms steps
  uint8_t delay_gpi[4];  // 10 ms steps
};
#pragma pack(pop)
static_assert(sizeof(TSettings) == settings_record_size);

// Brings a received record into range (preset mod 6, src & 0x0F, gain clamped to
// -15..15, ref & 0x1F, scale mod 3, delay mod 35, delay_gpi mod 18; lr as is).
void sanitize_settings(TSettings& s);
