// The link's report handler on_report: reassembly, the length and CRC checks,
// the reply dispatch and the settings record, fed one sequence of input reports
// (and edits) per input.
//
// Input: a sequence of steps, each a step byte and its operands:
//   0  one raw input report: 65 bytes
//   1  a frame cut into reports as the device sends them: command, payload
//      length (one byte), payload, then a byte of damage: bit 0 flips the bit
//      chosen by the next byte, bit 1 sets the length field to the next two
//      bytes, bit 2 sends the reports in reverse order
//   2  a settings reply: bit 0 of the next byte chooses 0x80 over 0x00, then
//      the 29 record bytes
//   3  an operator's edit (values in range) followed by save()
//   4  the main thread runs what the link posted to it
//
// Beside the link the target keeps the reassembly buffer as the protocol
// describes it (each report's 58 bytes at its offset, the frame judged when
// the offset reaches the end mark) and checks after every report:
//   - the link's buffer is as long as that buffer, so it is emptied after every
//     completed frame, good or bad, and grows to no more than offset + 58;
//   - a frame that passes the checks re-encodes to exactly the bytes that came in;
//   - a good settings reply of at least 29 bytes is copied, sanitised, unless an
//     edit is waiting to be written; nothing else changes the record, and the
//     record is always in range;
//   - a good 0xFA calls update_finished once, a good 0xFD settings_reset once,
//     a good read reply brings one refresh to the main thread; nothing else does.
#include "fuzz_target.h"

#include "USB.h"
#include "crc.h"
#include "link_testing.h"

#include <cstring>
#include <functional>

namespace {

using Bytes = std::vector<uint8_t>;

struct Observed {
  int finished = 0, reset = 0, refreshes = 0;
  std::vector<std::function<void()>> posted;
};
Observed seen;

// The sanitising of a received record, field by field as the protocol gives it.
TSettings sanitised(const uint8_t* bytes) {
  TSettings s;
  std::memcpy(&s, bytes, sizeof s);
  s.preset = static_cast<uint8_t>(s.preset % 6);
  for (int p = 0; p < 4; ++p) {
    s.src[p] = static_cast<uint8_t>(s.src[p] & 0x0F);
    s.gain[p] = s.gain[p] > 15 ? int8_t{15} : s.gain[p] < -15 ? int8_t{-15} : s.gain[p];
    s.ref[p] = static_cast<uint8_t>(s.ref[p] & 0x1F);
    s.scale[p] = static_cast<uint8_t>(s.scale[p] % 3);
    s.delay[p] = static_cast<uint8_t>(s.delay[p] % 35);
    s.delay_gpi[p] = static_cast<uint8_t>(s.delay_gpi[p] % 18);
  }
  return s;
}

bool in_range(const TSettings& s) {
  if (s.preset > 5) return false;
  for (int p = 0; p < 4; ++p)
    if (s.src[p] > 15 || s.gain[p] < -15 || s.gain[p] > 15 || s.ref[p] > 31 || s.scale[p] > 2 ||
        s.delay[p] > 34 || s.delay_gpi[p] > 17)
      return false;
  return true;
}

bool same(const TSettings& a, const TSettings& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class Oracle {
 public:
  void report(const THIDReport& r) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r);
    const size_t offset = get_be16(bytes + 1), mark = get_be16(bytes + 3);
    if (buffer_.size() < offset + 58) buffer_.resize(offset + 58);
    std::memcpy(buffer_.data() + offset, bytes + 5, 58);
    const Observed before{seen.finished, seen.reset, seen.refreshes, {}};
    const size_t posted_before = seen.posted.size();
    const TSettings record_before = settings_get();

    on_report(r, 1);

    if (offset >= mark) judge();
    FUZZ_CHECK(link_rx_size() == buffer_.size());
    FUZZ_CHECK(buffer_.size() <= 65535 + 58);

    const TSettings record = settings_get();
    FUZZ_CHECK(in_range(record));
    FUZZ_CHECK(same(record, expected_record_ ? *expected_record_ : record_before));
    FUZZ_CHECK(seen.finished == before.finished + (good_cmd_ == 0xFA ? 1 : 0));
    FUZZ_CHECK(seen.reset == before.reset + (good_cmd_ == 0xFD ? 1 : 0));
    // A refresh is posted for a read reply unless one is still on its way.
    if (read_reply_) {
      FUZZ_CHECK(seen.posted.size() == posted_before + (refresh_on_way_ ? 0 : 1));
      refresh_on_way_ = true;
    } else {
      FUZZ_CHECK(seen.posted.size() == posted_before);
    }
    expected_record_.reset();
    good_cmd_ = -1;
    read_reply_ = false;
  }

  void edit(const TSettings& values) {
    settings_edit([&](TSettings& s) { s = values; });
    save();
    edit_waiting_ = true;  // no worker runs here: the write stays pending
    FUZZ_CHECK(same(settings_get(), values));
  }

  void run_main_thread() {
    const int before = seen.refreshes;
    auto posted = std::move(seen.posted);
    seen.posted.clear();
    for (auto& routine : posted) routine();
    FUZZ_CHECK(seen.refreshes == before + (refresh_on_way_ ? 1 : 0));
    refresh_on_way_ = false;
  }

 private:
  void judge() {
    Bytes frame;
    frame.swap(buffer_);
    const size_t length = get_be16(frame.data() + 1);
    if (length + 5 > frame.size()) return;
    if (get_be16(frame.data() + 3 + length) != crc16(frame.data(), length + 3)) return;
    const uint8_t cmd = frame[0];
    // The frame the link takes in, written again, is byte for byte what arrived.
    const Bytes again = build_frame(cmd, frame.data() + 3, length);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), frame.begin()));
    good_cmd_ = cmd;
    if ((cmd == cmd_read || cmd == cmd_write) && length >= sizeof(TSettings)) {
      if (!edit_waiting_) expected_record_ = sanitised(frame.data() + 3);
      read_reply_ = cmd == cmd_read;
    }
  }

  Bytes buffer_;
  bool edit_waiting_ = false;
  bool refresh_on_way_ = false;
  std::optional<TSettings> expected_record_;
  int good_cmd_ = -1;
  bool read_reply_ = false;
};

THIDReport as_report(const uint8_t* bytes) {
  THIDReport r;
  std::memcpy(&r, bytes, sizeof r);
  return r;
}

void send_frame(Oracle& oracle, Bytes frame, bool reverse) {
  auto reports = cut_frame(frame, TMarkKind::end_mark);
  if (reverse) std::reverse(reports.begin(), reports.end());
  for (const auto& r : reports) oracle.report(as_report(r.data()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  link_reset_for_tests();
  seen = Observed{};
  TLinkHostFunctions host;
  host.update_finished = [] { ++seen.finished; };
  host.settings_reset = [] { ++seen.reset; };
  host.refresh = [] { ++seen.refreshes; };
  host.post_to_main = [](std::function<void()> routine) { seen.posted.push_back(std::move(routine)); };
  link_set_host(host);

  Oracle oracle;
  FuzzInput in(data, size);
  while (!in.empty()) {
    switch (in.byte() % 5) {
      case 0: {
        uint8_t raw[sizeof(THIDReport)] = {};
        const Bytes b = in.bytes(sizeof raw);
        std::copy(b.begin(), b.end(), raw);
        oracle.report(as_report(raw));
        break;
      }
      case 1: {
        const uint8_t cmd = in.byte();
        const Bytes payload = in.bytes(in.byte());
        Bytes frame = build_frame(cmd, payload.data(), payload.size());
        const uint8_t damage = in.byte();
        if (damage & 1) {
          const uint8_t at = in.byte();
          frame[at % frame.size()] ^= static_cast<uint8_t>(1u << (at % 8));
        }
        if (damage & 2) put_be16(&frame[1], in.be16());
        send_frame(oracle, std::move(frame), damage & 4);
        break;
      }
      case 2: {
        const uint8_t cmd = in.byte() & 1 ? cmd_write : cmd_read;
        Bytes record = in.bytes(sizeof(TSettings));
        record.resize(sizeof(TSettings));
        send_frame(oracle, build_frame(cmd, record.data(), record.size()), false);
        break;
      }
      case 3: {
        Bytes values = in.bytes(sizeof(TSettings));
        values.resize(sizeof(TSettings));
        oracle.edit(sanitised(values.data()));
        break;
      }
      default:
        oracle.run_main_thread();
        break;
    }
  }
  link_reset_for_tests();
  return 0;
}

std::vector<FuzzSeed> fuzz_seeds() {
  auto frame_step = [](Bytes& out, uint8_t cmd, const Bytes& payload, uint8_t damage = 0) {
    out.push_back(1);
    out.push_back(cmd);
    out.push_back(static_cast<uint8_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    out.push_back(damage);
    if (damage & 1) out.push_back(37);
  };
  Bytes record(29);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 7 + 3);
  const std::string summary = "MX-540KTR update complete: VERSION=2.1, flash 1024 bytes, EEPROM 64 bytes";
  Bytes poll, update, damaged, edits, raw;
  frame_step(poll, cmd_read, record);
  poll.push_back(4);
  frame_step(poll, cmd_write, record);
  frame_step(update, cmd_finish, Bytes(summary.begin(), summary.end()));
  frame_step(update, cmd_reset, {});
  frame_step(damaged, cmd_read, record, 1);
  frame_step(damaged, cmd_read, Bytes(record.begin(), record.begin() + 20));
  frame_step(damaged, cmd_write, Bytes(100, 0x55), 4);
  edits.push_back(3);
  edits.insert(edits.end(), record.begin(), record.end());
  edits.push_back(2);
  edits.push_back(0);
  edits.insert(edits.end(), record.rbegin(), record.rend());
  edits.push_back(4);
  // A report that waits for a second piece, then the piece at offset 58.
  raw.push_back(0);
  Bytes first(65, 0);
  first[0] = 1, first[4] = 58, first[5] = cmd_read, first[7] = 29;
  raw.insert(raw.end(), first.begin(), first.end());
  raw.push_back(0);
  Bytes second(65, 0);
  second[0] = 1, second[2] = 58, second[4] = 58;
  raw.insert(raw.end(), second.begin(), second.end());
  return {{"poll-and-write", poll}, {"update-replies", update}, {"damaged", damaged},
          {"edit-pending", edits}, {"two-pieces", raw}};
}
