// The host's half of the protocol for tests of the virtual device: frames cut
// into output reports, and input reports put back together, with the project's
// own frame code.
#pragma once

#include "DeviceModel.h"
#include "frame.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace mxv::hostside {

using TReport = std::array<uint8_t, hid_report_len>;

inline std::vector<TReport> host_reports(uint8_t cmd, const std::vector<uint8_t>& payload = {}) {
  return cut_frame(build_frame(cmd, payload.data(), payload.size()), TMarkKind::total);
}

// Block payload of cmd_flash / cmd_eeprom: address, length, bytes.
inline std::vector<uint8_t> block_payload(uint16_t address, const std::vector<uint8_t>& block) {
  std::vector<uint8_t> p(4);
  put_be16(&p[0], address);
  put_be16(&p[2], static_cast<uint16_t>(block.size()));
  p.insert(p.end(), block.begin(), block.end());
  return p;
}

inline std::vector<uint8_t> address_payload(uint16_t address) {
  std::vector<uint8_t> p(2);
  put_be16(&p[0], address);
  return p;
}

struct TReplies {
  std::vector<TFrame> good;
  int bad = 0;
  int partial = 0;  // reports that did not complete a frame
};

inline TReplies reassemble(const std::vector<TInputReport>& reports) {
  TReplies out;
  TFrameAssembler assembler(TMarkKind::end_mark);
  for (const auto& r : reports) {
    TFrame frame;
    switch (assembler.feed(r.data(), r.size(), frame)) {
      case TFrameAssembler::TFeed::good: out.good.push_back(frame); break;
      case TFrameAssembler::TFeed::bad: ++out.bad; break;
      case TFrameAssembler::TFeed::partial: ++out.partial; break;
    }
  }
  return out;
}

// Sends one frame to the model report by report; true when every report was accepted.
inline bool send(TDeviceModel& model, uint8_t cmd, const std::vector<uint8_t>& payload = {},
                 uint64_t now_ms = 0, uint32_t* cost_us = nullptr) {
  bool all = true;
  for (const auto& r : host_reports(cmd, payload)) {
    const auto outcome = model.output_report(r.data(), r.size(), now_ms);
    all = all && outcome.accepted;
    if (cost_us)
      *cost_us += outcome.cost_us;
  }
  return all;
}

}  // namespace mxv::hostside
