// CRC-16/MODBUS over a byte sequence, the checksum that closes every frame
// between the control panel and the device.
#pragma once

#include <cstddef>
#include <cstdint>

// Polynomial 0x8005 processed bit-reversed (0xA001), initial value 0xFFFF,
// reflected, no final XOR. "123456789" gives 0x4B37; no bytes give 0xFFFF.
uint16_t crc16(const uint8_t* bytes, size_t count);
