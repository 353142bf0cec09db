// The byte level of the device protocol, shared by the control panel's link and
// by anything that plays the device's side (the virtual MX-540KTR):
//
//   frame:  command, length (big-endian), payload, CRC-16/MODBUS (high byte first)
//   report: report ID 0x01, offset (big-endian), total or end mark (big-endian),
//           58 frame bytes, zero padding
//
// Host-to-device reports carry the frame's total length in bytes 3-4; device-to-
// host reports carry an end mark there instead: the report whose offset is equal
// to or greater than its end mark completes the frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t frame_overhead = 5;         // command, length, CRC
inline constexpr size_t max_frame = 65535;
inline constexpr size_t max_payload = max_frame - frame_overhead;   // 65530
inline constexpr size_t report_piece = 58;          // frame bytes per report
inline constexpr size_t report_header = 5;          // report ID, offset, total/end mark
inline constexpr size_t protocol_report_len = report_header + report_piece;   // 63
inline constexpr size_t hid_report_len = 65;        // THIDReport
inline constexpr uint8_t protocol_report_id = 0x01;

// Command and reply codes.
inline constexpr uint8_t cmd_read = 0x00;
inline constexpr uint8_t cmd_write = 0x80;
inline constexpr uint8_t cmd_erase = 0xF0;
inline constexpr uint8_t cmd_flash = 0xF1;
inline constexpr uint8_t cmd_eeprom = 0xF3;
inline constexpr uint8_t cmd_finish = 0xFA;
inline constexpr uint8_t cmd_boot_request = 0xFB;
inline constexpr uint8_t cmd_update_close = 0xFC;
inline constexpr uint8_t cmd_reset = 0xFD;

// A firmware version as the device reports it: major in the high byte, minor in
// the low one, both decimal (0x0110 -> "1.16").
std::string version_text(uint16_t version);

// Byte order reversed for a width of 2, 4 or 8; any other width gives the low byte.
uint64_t swap_bytes(uint64_t value, int width);

inline uint16_t get_be16(const uint8_t* at) { return static_cast<uint16_t>((at[0] << 8) | at[1]); }
inline void put_be16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

// One whole frame. Throws std::length_error for a payload over 65530 bytes.
std::vector<uint8_t> build_frame(uint8_t cmd, const uint8_t* payload, size_t len);

// Reports a frame of frame_len bytes takes: ceil(frame_len / 58).
size_t report_count(size_t frame_len);

enum class TMarkKind {
  total,     // host to device: bytes 3-4 hold the frame length
  end_mark,  // device to host: bytes 3-4 hold the offset of the frame's last report
};

// Fills report[0 .. report_len) with the piece of `frame` that starts at
// `offset`: report ID 1, offset, total or end mark, up to 58 frame bytes, and
// zeros everywhere else. report_len must be at least 63.
void fill_report(uint8_t* report, size_t report_len, const std::vector<uint8_t>& frame, size_t offset,
                 TMarkKind kind = TMarkKind::total);

// The frame cut into 65-byte reports, in order.
std::vector<std::array<uint8_t, hid_report_len>> cut_frame(const std::vector<uint8_t>& frame,
                                                           TMarkKind kind = TMarkKind::total);

// A frame that passed the length and CRC checks.
struct TFrame {
  uint8_t cmd = 0;
  std::vector<uint8_t> payload;   // exactly the declared length
};

// Collects report pieces into frames. Each report writes its 58 data bytes at
// its offset (the last write at an offset wins); the report that completes the
// frame (by end mark or by total, see TMarkKind) has the collected bytes judged
// by length and CRC, and the buffer starts empty again either way.
class TFrameAssembler {
 public:
  enum class TFeed { partial, good, bad };

  explicit TFrameAssembler(TMarkKind kind = TMarkKind::end_mark) : kind_(kind) {}

  // report: report ID first; count: bytes available at report. A report shorter
  // than 63 bytes is treated as if zero-padded to 63. On good, `out` holds the frame.
  TFeed feed(const uint8_t* report, size_t count, TFrame& out);

  size_t size() const { return buffer_.size(); }
  void clear() { buffer_.clear(); }

 private:
  TMarkKind kind_;
  std::vector<uint8_t> buffer_;
};
