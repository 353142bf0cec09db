#include "frame.h"

#include "crc.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

uint64_t swap_bytes(uint64_t value, int width) {
  if (width != 2 && width != 4 && width != 8)
    return value & 0xFF;
  uint64_t swapped = 0;
  for (int i = 0; i < width; ++i) {
    swapped = (swapped << 8) | (value & 0xFF);
    value >>= 8;
  }
  return swapped;
}

std::vector<uint8_t> build_frame(uint8_t cmd, const uint8_t* payload, size_t len) {
  if (len > max_payload)
    throw std::length_error("Payload of " + std::to_string(len) + " bytes exceeds " +
                            std::to_string(max_payload) + " bytes");
  std::vector<uint8_t> frame(len + frame_overhead);
  frame[0] = cmd;
  put_be16(&frame[1], static_cast<uint16_t>(len));
  if (len)
    std::memcpy(&frame[3], payload, len);
  put_be16(&frame[3 + len], crc16(frame.data(), len + 3));
  return frame;
}

std::string version_text(uint16_t version) {
  return std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
}

size_t report_count(size_t frame_len) { return (frame_len + report_piece - 1) / report_piece; }

void fill_report(uint8_t* report, size_t report_len, const std::vector<uint8_t>& frame, size_t offset,
                 TMarkKind kind) {
  if (report_len < protocol_report_len)
    throw std::invalid_argument("Report buffer shorter than 63 bytes");
  std::memset(report, 0, report_len);
  report[0] = protocol_report_id;
  put_be16(report + 1, static_cast<uint16_t>(offset));
  const size_t last_offset = frame.empty() ? 0 : (report_count(frame.size()) - 1) * report_piece;
  put_be16(report + 3, static_cast<uint16_t>(kind == TMarkKind::total ? frame.size() : last_offset));
  if (offset < frame.size()) {
    const size_t n = std::min(report_piece, frame.size() - offset);
    std::memcpy(report + report_header, frame.data() + offset, n);
  }
}

std::vector<std::array<uint8_t, hid_report_len>> cut_frame(const std::vector<uint8_t>& frame, TMarkKind kind) {
  std::vector<std::array<uint8_t, hid_report_len>> reports(report_count(frame.size()));
  for (size_t i = 0; i < reports.size(); ++i)
    fill_report(reports[i].data(), hid_report_len, frame, i * report_piece, kind);
  return reports;
}

TFrameAssembler::TFeed TFrameAssembler::feed(const uint8_t* report, size_t count, TFrame& out) {
  uint8_t piece[protocol_report_len] = {};
  std::copy_n(report, std::min(count, protocol_report_len), piece);  // an empty report may have no storage
  const size_t offset = get_be16(piece + 1);
  const size_t mark = get_be16(piece + 3);

  if (buffer_.size() < offset + report_piece)
    buffer_.resize(offset + report_piece);
  std::memcpy(buffer_.data() + offset, piece + report_header, report_piece);

  const bool complete = kind_ == TMarkKind::end_mark ? offset >= mark : offset + report_piece >= mark;
  if (!complete)
    return TFeed::partial;

  // From here on the buffer is emptied whatever the verdict, so a broken frame
  // never leaks into the next one.
  struct TEmpty {
    std::vector<uint8_t>& buffer;
    ~TEmpty() { buffer.clear(); }
  } empty_on_exit{buffer_};

  const size_t n = buffer_.size();
  const size_t length = get_be16(buffer_.data() + 1);
  if (length + frame_overhead > n)
    return TFeed::bad;
  const uint16_t crc = crc16(buffer_.data(), length + 3);
  if (get_be16(buffer_.data() + length + 3) != crc)
    return TFeed::bad;
  out.cmd = buffer_[0];
  out.payload.assign(buffer_.begin() + 3, buffer_.begin() + 3 + static_cast<std::ptrdiff_t>(length));
  return TFeed::good;
}
