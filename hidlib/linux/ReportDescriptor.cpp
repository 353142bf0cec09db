#include "ReportDescriptor.h"

#include <algorithm>
#include <array>
#include <map>

namespace hidlib {

namespace {

// Item types and tags of the HID class definition (6.2.2).
enum ItemType : uint8_t { main_item = 0, global_item = 1, local_item = 2 };
enum MainTag : uint8_t { tag_input = 0x8, tag_output = 0x9, tag_feature = 0xB };
enum GlobalTag : uint8_t {
  tag_usage_page = 0x0,
  tag_report_size = 0x7,
  tag_report_id = 0x8,
  tag_report_count = 0x9,
  tag_push = 0xA,
  tag_pop = 0xB,
};
enum LocalTag : uint8_t { tag_usage = 0x0, tag_usage_minimum = 0x1, tag_usage_maximum = 0x2 };
constexpr uint8_t long_item_prefix = 0xFE;
constexpr uint32_t flag_constant = 0x01;
constexpr uint32_t flag_variable = 0x02;

// Bounds that keep hostile descriptors cheap: nesting of Push, usages kept per
// main item, bits counted per report.
constexpr size_t max_push_depth = 32;
constexpr size_t max_local_usages = 1024;
constexpr uint64_t max_report_bits = uint64_t{1} << 32;

struct Globals {
  uint32_t usage_page = 0;
  uint32_t report_size = 0;
  uint32_t report_count = 0;
  uint8_t report_id = 0;
};

struct Locals {
  std::vector<uint16_t> usages;
  bool has_minimum = false, has_maximum = false;
  uint16_t minimum = 0;
  void clear() { *this = Locals{}; }
};

struct TypeState {
  std::map<uint8_t, uint64_t> bits;  // per report ID
  std::vector<HidValueCap> caps;     // the first HID_VALUE_CAPS_ASKED
  uint32_t cap_count = 0;
};

uint16_t saturate16(uint64_t v) { return static_cast<uint16_t>(std::min<uint64_t>(v, 0xFFFF)); }

void add_cap(TypeState& type, uint16_t usage, uint8_t report_id, uint32_t bit_size, uint64_t count) {
  if (type.cap_count < 0xFFFF) ++type.cap_count;
  if (type.caps.size() < HID_VALUE_CAPS_ASKED)
    type.caps.push_back(HidValueCap{usage, report_id, saturate16(bit_size), saturate16(count)});
}

void add_main(TypeState& type, const Globals& g, const Locals& l, uint32_t flags) {
  uint64_t& bits = type.bits[g.report_id];
  bits = std::min(max_report_bits, bits + uint64_t{g.report_size} * g.report_count);
  const bool value = (flags & flag_variable) && !(flags & flag_constant) && g.report_size > 1;
  if (!value || g.report_count == 0) return;
  if (l.has_minimum && l.has_maximum) {
    add_cap(type, l.minimum, g.report_id, g.report_size, g.report_count);
  } else if (!l.usages.empty()) {
    const size_t k = std::min<size_t>(l.usages.size(), g.report_count);
    for (size_t i = 0; i < k; ++i) {
      const uint64_t count = i + 1 < k ? 1 : g.report_count - (k - 1);
      add_cap(type, l.usages[i], g.report_id, g.report_size, count);
    }
  } else {
    add_cap(type, 0, g.report_id, g.report_size, g.report_count);
  }
}

void finish(const TypeState& type, uint16_t& byte_length, ValueCapsAnswer& answer) {
  uint64_t longest = 0;
  for (const auto& [id, bits] : type.bits) longest = std::max(longest, bits);
  byte_length = longest == 0 ? 0 : saturate16((longest + 7) / 8 + 1);
  answer = ValueCapsAnswer{};
  std::copy(type.caps.begin(), type.caps.end(), answer.Caps);
  answer.Count = static_cast<uint16_t>(type.caps.size());
  if (type.cap_count == 0)
    answer.Status = HIDP_STATUS_USAGE_NOT_FOUND;
  else if (type.cap_count > HID_VALUE_CAPS_ASKED)
    answer.Status = HIDP_STATUS_BUFFER_TOO_SMALL;
  else
    answer.Status = HIDP_STATUS_SUCCESS;
}

}  // namespace

ParsedDescriptor parse_report_descriptor(const uint8_t* bytes, size_t size) {
  ParsedDescriptor out;
  Globals globals;
  std::vector<Globals> pushed;
  Locals locals;
  std::array<TypeState, 3> types;  // indexed by ReportType

  size_t at = 0;
  while (at < size) {
    const uint8_t prefix = bytes[at];
    if (prefix == long_item_prefix) {
      // Long items carry vendor data the parsers ignore: size, tag, data.
      if (at + 1 >= size) break;
      at += 3 + size_t{bytes[at + 1]};
      continue;
    }
    const size_t data_size = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (at + 1 + data_size > size) break;  // cut off: the item does not count
    uint32_t data = 0;
    for (size_t i = 0; i < data_size; ++i) data |= uint32_t{bytes[at + 1 + i]} << (8 * i);
    const uint8_t type = (prefix >> 2) & 3;
    const uint8_t tag = prefix >> 4;
    at += 1 + data_size;

    if (type == main_item) {
      const int report_type = tag == tag_input ? 0 : tag == tag_output ? 1 : tag == tag_feature ? 2 : -1;
      if (report_type >= 0) {
        add_main(types[report_type], globals, locals, data);
        ++out.main_items;
      }
      locals.clear();  // every main item ends the local items before it
    } else if (type == global_item) {
      switch (tag) {
        case tag_usage_page: globals.usage_page = data; break;
        case tag_report_size: globals.report_size = data; break;
        case tag_report_count: globals.report_count = data; break;
        case tag_report_id:
          globals.report_id = static_cast<uint8_t>(data);
          out.numbered = true;
          break;
        case tag_push:
          if (pushed.size() < max_push_depth) pushed.push_back(globals);
          break;
        case tag_pop:
          if (!pushed.empty()) {
            globals = pushed.back();
            pushed.pop_back();
          }
          break;
        default: break;
      }
    } else if (type == local_item) {
      // A four-byte usage carries its own page in the high half; the records
      // hold the usage alone.
      const auto usage = static_cast<uint16_t>(data & 0xFFFF);
      switch (tag) {
        case tag_usage:
          if (locals.usages.size() < max_local_usages) locals.usages.push_back(usage);
          break;
        case tag_usage_minimum:
          locals.has_minimum = true;
          locals.minimum = usage;
          break;
        case tag_usage_maximum: locals.has_maximum = true; break;
        default: break;
      }
    }
  }

  finish(types[0], out.layout.InputReportByteLength, out.layout.Values[0]);
  finish(types[1], out.layout.OutputReportByteLength, out.layout.Values[1]);
  finish(types[2], out.layout.FeatureReportByteLength, out.layout.Values[2]);
  return out;
}

}  // namespace hidlib
