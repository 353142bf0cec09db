// The virtual MX-540KTR's side of the protocol: the frame parser over output
// reports, the commands of normal mode and of the boot loader, its control
// commands and its bus changes over time.
//
// Input: one byte choosing the start mode (bit 0: boot loader), then steps:
//   0  a raw output report: a length byte (0 to 80), then that many bytes
//   1  a frame cut into host reports: command, a 16-bit payload length (below
//      1100), payload, then a byte of damage: bit 0 flips the bit chosen by the
//      next byte, bit 1 leaves out the report chosen by the next byte, bit 2
//      sets the length field to the next two bytes
//   2  a well-formed command: kind, a 16-bit address, a 16-bit block length
//      (below 600) and block bytes (erase, flash, EEPROM, finish, read, write,
//      boot request, update close, reset)
//   3  a control line: a length byte, then the text
//   4  time passes: a 16-bit count of milliseconds, then the device polls
//
// The target keeps the frame buffer as the protocol describes it (each report's
// 58 bytes at its offset; the report whose offset + 58 reaches the total ends
// the frame) and checks after every report:
//   - a transfer to an absent device fails; a frame ends exactly when the
//     protocol says, and the frame log grows by one for it;
//   - the device judges a frame bad exactly when its length or CRC is wrong,
//     and a good frame re-encodes to exactly the bytes that came in;
//   - a frame the device did not act on changes no memory and gets no answer;
//     a flash or EEPROM block it took is in the memory byte for byte;
//   - memories keep their sizes;
//   - every input report is a 65-byte report ID 1 report; with no fault armed
//     the replies reassemble to good frames with the codes 0x00, 0x80, 0xFA or
//     0xFD, and a settings reply carries the 29 bytes the device holds;
//   - a control command answers "ok" or "error: ...", and one refused with an
//     error has changed nothing.
#include "fuzz_target.h"

#include "DeviceModel.h"
#include "crc.h"

#include <algorithm>
#include <cstring>

using namespace mxv;

namespace {

using Bytes = std::vector<uint8_t>;

bool same_faults(const TFaults& a, const TFaults& b) {
  return a.refuse_from == b.refuse_from && a.reports_since_refuse == b.reports_since_refuse &&
         a.corrupt_crc == b.corrupt_crc && a.drop_piece == b.drop_piece && a.drop_count == b.drop_count &&
         a.no_finish_reply == b.no_finish_reply && a.bad_settings == b.bad_settings &&
         a.short_settings == b.short_settings && a.short_length == b.short_length && a.stall_ms == b.stall_ms;
}

bool same_timing(const TTiming& a, const TTiming& b) {
  return a.report_us == b.report_us && a.erase_us == b.erase_us && a.leave_ms == b.leave_ms &&
         a.finish_leave_ms == b.finish_leave_ms && a.reboot_ms == b.reboot_ms;
}

bool faults_armed(const TFaults& f) {
  return f.corrupt_crc || f.drop_count || f.no_finish_reply || f.bad_settings || f.short_settings;
}

class Harness {
 public:
  explicit Harness(bool boot) {
    if (boot) {
      FUZZ_CHECK(model_.control("boot", now_) == "ok");
      now_ += 10000;
      model_.poll(now_);
      FUZZ_CHECK(model_.mode() == TMode::boot);
    }
    model_.take_bus_events();
    model_.take_input_reports();
  }

  void report(const uint8_t* bytes, size_t len) {
    uint8_t piece[63] = {};
    std::copy_n(bytes, std::min<size_t>(len, sizeof piece), piece);
    const size_t offset = get_be16(piece + 1), total = get_be16(piece + 3);

    const bool present = model_.present();
    const bool armed = faults_armed(model_.faults);
    const bool ends = offset + 58 >= total;
    // The memories are compared only around the report that ends a frame:
    // nothing else may change them.
    const TSettings settings = model_.settings();
    Bytes flash, eeprom;
    if (ends) flash = model_.flash(), eeprom = model_.eeprom();
    const uint64_t revisions = model_.revisions().flash + model_.revisions().eeprom;
    const uint64_t frames = model_.frames_received();
    const uint64_t replies = model_.replies_sent();
    const uint64_t log_seq = model_.log().empty() ? 0 : model_.log().back().seq;

    const TReportOutcome outcome = model_.output_report(bytes, len, now_);

    FUZZ_CHECK(model_.flash().size() == flash_size && model_.eeprom().size() == eeprom_size);
    if (!present) {
      FUZZ_CHECK(!outcome.accepted);
      FUZZ_CHECK(model_.frames_received() == frames && model_.take_input_reports().empty());
      return;
    }
    if (!outcome.accepted) {  // a refused transfer: the device saw nothing
      FUZZ_CHECK(model_.frames_received() == frames);
      return;
    }

    if (buffer_.size() < offset + 58) buffer_.resize(offset + 58);
    std::memcpy(buffer_.data() + offset, piece + 5, 58);
    FUZZ_CHECK(model_.frames_received() == frames + (ends ? 1 : 0));
    if (!ends) {
      FUZZ_CHECK(model_.settings() == settings);
      FUZZ_CHECK(model_.revisions().flash + model_.revisions().eeprom == revisions);
      FUZZ_CHECK(model_.take_input_reports().empty());
      return;
    }

    Bytes frame;
    frame.swap(buffer_);
    FUZZ_CHECK(!model_.log().empty() && model_.log().back().seq == log_seq + 1);
    const TFrameRecord& record = model_.log().back();
    const size_t length = get_be16(frame.data() + 1);
    const bool good = length + 5 <= frame.size() &&
                      get_be16(frame.data() + 3 + length) == crc16(frame.data(), length + 3);
    FUZZ_CHECK((record.status == TFrameStatus::bad) == !good);
    if (good) {
      const Bytes again = build_frame(record.cmd, record.payload.data(), record.payload.size());
      FUZZ_CHECK(std::equal(again.begin(), again.end(), frame.begin()));
    }

    const auto input = model_.take_input_reports();
    if (record.status != TFrameStatus::handled) {
      FUZZ_CHECK(model_.settings() == settings && model_.flash() == flash && model_.eeprom() == eeprom);
      FUZZ_CHECK(input.empty() && model_.replies_sent() == replies);
      return;
    }
    if (record.mode == TMode::boot && (record.cmd == cmd_flash || record.cmd == cmd_eeprom)) {
      const size_t address = get_be16(record.payload.data()), n = get_be16(record.payload.data() + 2);
      const Bytes& memory = record.cmd == cmd_flash ? model_.flash() : model_.eeprom();
      FUZZ_CHECK(address + n <= memory.size() && record.payload.size() == n + 4);
      FUZZ_CHECK(std::equal(record.payload.begin() + 4, record.payload.end(),
                            memory.begin() + static_cast<std::ptrdiff_t>(address)));
    }
    check_replies(input, record, armed);
  }

  void control(const std::string& line) {
    const State before = state();
    const std::string answer = model_.control(line, now_);
    FUZZ_CHECK(answer == "ok" || answer.rfind("error: ", 0) == 0);
    // A command refused with an error has done nothing.
    if (answer != "ok") FUZZ_CHECK(state() == before);
    bus_changed();
  }

  void wait(uint16_t ms) {
    now_ += ms;
    model_.poll(now_);
    bus_changed();
  }

 private:
  // Leaving the bus drops a frame half collected.
  void bus_changed() {
    const auto events = model_.take_bus_events();
    if (std::find(events.begin(), events.end(), TBusEvent::leave) != events.end()) buffer_.clear();
    if (!model_.present()) FUZZ_CHECK(model_.take_input_reports().empty());
  }

  void check_replies(const std::vector<TInputReport>& input, const TFrameRecord& record, bool armed) {
    Bytes buffer;
    int good = 0;
    for (const TInputReport& r : input) {
      FUZZ_CHECK(r[0] == 0x01);
      const size_t offset = get_be16(&r[1]), mark = get_be16(&r[3]);
      if (buffer.size() < offset + 58) buffer.resize(offset + 58);
      std::copy(r.begin() + 5, r.begin() + 63, buffer.begin() + static_cast<std::ptrdiff_t>(offset));
      FUZZ_CHECK(std::all_of(r.begin() + 63, r.end(), [](uint8_t b) { return b == 0; }));
      if (offset < mark) continue;
      const size_t length = get_be16(buffer.data() + 1);
      const bool ok = length + 5 <= buffer.size() &&
                      get_be16(buffer.data() + 3 + length) == crc16(buffer.data(), length + 3);
      if (!armed) {
        FUZZ_CHECK(ok);
        const uint8_t cmd = buffer[0];
        FUZZ_CHECK(cmd == cmd_read || cmd == cmd_write || cmd == cmd_finish || cmd == cmd_reset);
        FUZZ_CHECK(cmd == record.cmd);
        if (cmd == cmd_read || cmd == cmd_write) {
          FUZZ_CHECK(length == settings_size);
          FUZZ_CHECK(std::equal(model_.settings().begin(), model_.settings().end(), buffer.begin() + 3));
        }
      }
      good += ok ? 1 : 0;
      buffer.clear();
    }
    if (!armed) FUZZ_CHECK(buffer.empty() && good == (input.empty() ? 0 : 1));
  }

  // What a control command can change.
  struct State {
    bool present;
    TMode mode;
    uint16_t version;
    TSettings settings;
    TFaults faults;
    TTiming timing;
    std::optional<uint64_t> next_due;
    size_t log;
    bool operator==(const State& o) const {
      return present == o.present && mode == o.mode && version == o.version && settings == o.settings &&
             same_faults(faults, o.faults) && same_timing(timing, o.timing) && next_due == o.next_due && log == o.log;
    }
  };
  State state() const {
    return {model_.present(), model_.mode(), model_.version(), model_.settings(), model_.faults, model_.timing,
            model_.next_due_ms(), model_.log().size()};
  }

  TDeviceModel model_;
  uint64_t now_ = 1000;
  Bytes buffer_;
};

void send_frame(Harness& h, const Bytes& frame, int leave_out) {
  const auto reports = cut_frame(frame, TMarkKind::total);
  for (size_t i = 0; i < reports.size(); ++i)
    if (static_cast<int>(i) != leave_out) h.report(reports[i].data(), reports[i].size());
}

Bytes command_payload(uint8_t kind, uint16_t address, const Bytes& block, uint8_t& cmd) {
  static const uint8_t cmds[] = {cmd_erase, cmd_flash, cmd_eeprom, cmd_finish, cmd_read,
                                 cmd_write, cmd_boot_request, cmd_update_close, cmd_reset};
  cmd = cmds[kind % 9];
  Bytes p;
  if (cmd == cmd_erase || cmd == cmd_flash || cmd == cmd_eeprom) {
    p.resize(2);
    put_be16(p.data(), address);
  }
  if (cmd == cmd_flash || cmd == cmd_eeprom) {
    p.resize(4);
    put_be16(p.data() + 2, static_cast<uint16_t>(block.size()));
    p.insert(p.end(), block.begin(), block.end());
  }
  if (cmd == cmd_write) {
    p = block;
    p.resize(settings_size);
  }
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  Harness h(in.byte() & 1);
  while (!in.empty()) {
    switch (in.byte() % 5) {
      case 0: {
        const Bytes raw = in.bytes(in.byte() % 81);
        h.report(raw.data(), raw.size());
        break;
      }
      case 1: {
        const uint8_t cmd = in.byte();
        const Bytes payload = in.bytes(in.be16() % 1100);
        Bytes frame = build_frame(cmd, payload.data(), payload.size());
        const uint8_t damage = in.byte();
        int leave_out = -1;
        if (damage & 1) {
          const uint8_t at = in.byte();
          frame[at % frame.size()] ^= static_cast<uint8_t>(1u << (at % 8));
        }
        if (damage & 2) leave_out = in.byte() % 20;
        if (damage & 4) put_be16(&frame[1], in.be16());
        send_frame(h, frame, leave_out);
        break;
      }
      case 2: {
        const uint8_t kind = in.byte();
        const uint16_t address = in.be16();
        Bytes block = in.bytes(in.be16() % 600);
        uint8_t cmd = 0;
        const Bytes payload = command_payload(kind, address, block, cmd);
        send_frame(h, build_frame(cmd, payload.data(), payload.size()), -1);
        break;
      }
      case 3: {
        const Bytes text = in.bytes(in.byte());
        h.control(std::string(text.begin(), text.end()));
        break;
      }
      default:
        h.wait(in.be16());
        break;
    }
  }
  return 0;
}

std::vector<FuzzSeed> fuzz_seeds() {
  auto command = [](Bytes& out, uint8_t kind, uint16_t address, uint16_t n) {
    out.push_back(2);
    out.push_back(kind);
    out.push_back(static_cast<uint8_t>(address >> 8));
    out.push_back(static_cast<uint8_t>(address));
    out.push_back(static_cast<uint8_t>(n >> 8));
    out.push_back(static_cast<uint8_t>(n));
    for (uint16_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(i * 13 + address));
  };
  auto control = [](Bytes& out, const std::string& line) {
    out.push_back(3);
    out.push_back(static_cast<uint8_t>(line.size()));
    out.insert(out.end(), line.begin(), line.end());
  };
  auto wait = [](Bytes& out, uint16_t ms) {
    out.push_back(4);
    out.push_back(static_cast<uint8_t>(ms >> 8));
    out.push_back(static_cast<uint8_t>(ms));
  };
  // Normal mode: poll, write, boot request.
  Bytes normal{0};
  command(normal, 4, 0, 0);
  command(normal, 5, 0, 29);
  command(normal, 6, 0, 0);
  wait(normal, 1000);
  // An update in the boot loader: erase, flash, EEPROM, finish, then reset and close.
  Bytes update{1};
  command(update, 0, 0x0400, 0);
  command(update, 1, 0x0400, 512);
  command(update, 2, 0x0000, 64);
  command(update, 3, 0, 0);
  wait(update, 1000);
  Bytes boot_misc{1};
  command(boot_misc, 8, 0, 0);
  command(boot_misc, 1, 0x0200, 16);  // not erased: refused
  command(boot_misc, 7, 0, 0);
  wait(boot_misc, 1000);
  // Faults and bus changes by control commands.
  Bytes faults{0};
  control(faults, "corrupt-crc 1");
  command(faults, 4, 0, 0);
  control(faults, "short-settings 10 1");
  command(faults, 4, 0, 0);
  control(faults, "drop-piece 0 1");
  control(faults, "bad-settings");
  command(faults, 5, 0, 29);
  control(faults, "replug 50");
  wait(faults, 100);
  control(faults, "refuse-from 2");
  command(faults, 4, 0, 0);
  control(faults, "clear");
  control(faults, "settings 0001020300010203000000001212121200000000000000000000000000");
  control(faults, "version 2.5");
  // A frame in two reports with raw pieces.
  Bytes raw{0};
  raw.push_back(0);
  raw.push_back(63);
  Bytes first(63, 0);
  first[0] = 1, first[4] = 100, first[5] = cmd_write, first[7] = 95;
  raw.insert(raw.end(), first.begin(), first.end());
  return {{"normal", normal}, {"update", update}, {"boot-misc", boot_misc}, {"faults-and-bus", faults},
          {"raw-piece", raw}};
}
