// The HID library's reading of a device as the platform reports it: the scan's
// probe (path, strings, access, attributes), the item tables built from the
// report lengths and value capabilities, and the report calls that count
// items from those tables.
//
// Input: up to three devices, each described by the bytes that follow (see
// read_device below), and one raw capability answer for build_item_table. The
// devices are plugged into the simulated platform and the library scans them.
//
// Properties, each from the library's rules rather than its code:
//   - exactly the devices with a vendor and product ID, that open at all and
//     whose attributes can be read, are listed, in bus order;
//   - the path is kept with its NUL in at most 255 bytes; strings are cut after
//     255 bytes; no serial number reads "---"; no handle is held after the scan;
//   - each item table is entry 0 of 8 bits covering the report minus its ID
//     byte, overwritten by the first (at most 10) value capabilities when the
//     query succeeded or ran out of room, with the single-item fix-up;
//   - a device opens when its whole path was kept; then report sizes and item
//     counts per report ID are the low 8 bits of the 8-bit sums over the table
//     (or the whole report minus its ID byte), and a report read, written or
//     sent on the control path carries exactly the caller's bytes within the
//     device's report length and nothing beyond them;
//   - build_item_table keeps at most 10 entries whatever count a parser claims.
#include "fuzz_target.h"

#include "HidLibrary.h"
#include "SimPlatform.h"

#include <algorithm>
#include <cstring>
#include <memory>

using namespace hidlib;

namespace {

using Bytes = std::vector<uint8_t>;
using Table = std::array<THIDReportItem, HID_ITEMS_PER_TABLE>;

std::optional<std::string> read_string(FuzzInput& in) {
  const uint8_t head = in.byte();
  if (head & 0x80) return std::nullopt;
  const Bytes b = in.bytes((head & 0x7F) * 3u);
  return std::string(b.begin(), b.end());
}

std::optional<uint32_t> read_status(FuzzInput& in) {
  switch (in.byte() % 5) {
    case 0: return std::nullopt;
    case 1: return HIDP_STATUS_SUCCESS;
    case 2: return HIDP_STATUS_BUFFER_TOO_SMALL;
    case 3: return HIDP_STATUS_USAGE_NOT_FOUND;
    default: return in.be32();
  }
}

std::vector<HidValueCap> read_caps(FuzzInput& in) {
  std::vector<HidValueCap> caps(in.byte() % 16);
  for (HidValueCap& cap : caps) {
    cap.Usage = in.be16();
    cap.ReportID = in.byte() % 4;  // few IDs, so that sums over one ID happen
    cap.BitSize = in.be16();
    cap.ReportCount = in.be16();
  }
  return caps;
}

SimDeviceConfig read_device(FuzzInput& in, int index) {
  SimDeviceConfig c;
  const uint8_t flags = in.byte();
  c.access = static_cast<SimAccess>(flags % 3);
  c.attributes_readable = !(flags & 0x04);
  c.has_preparsed_data = !(flags & 0x08);
  c.vendor_id = in.be16();
  c.product_id = in.be16();
  c.version = in.be16();
  const Bytes path = in.bytes(in.byte() * 2u);
  c.path = "\\\\?\\hid#" + std::to_string(index) + "#" + std::string(path.begin(), path.end());
  c.manufacturer = read_string(in);
  c.product = read_string(in);
  c.serial = read_string(in);
  c.input_length = in.be16() % 300;
  c.output_length = in.be16() % 300;
  c.feature_length = in.be16() % 300;
  c.input_values = read_caps(in);
  c.output_values = read_caps(in);
  c.feature_values = read_caps(in);
  for (auto& status : c.forced_status) status = read_status(in);
  return c;
}

uint8_t whole(uint16_t length) { return length > 0 ? static_cast<uint8_t>(length - 1) : 0; }

// The item table of one report type from the query's answer.
Table expected_table(uint16_t length, uint32_t status, const std::vector<HidValueCap>& caps, size_t returned) {
  Table t{};
  t[0].BitSize = 8;
  t[0].ReportCount = whole(length);
  if (status != HIDP_STATUS_SUCCESS && status != HIDP_STATUS_BUFFER_TOO_SMALL) return t;
  for (size_t j = 0; j < std::min<size_t>(returned, HID_ITEMS_PER_TABLE); ++j)
    t[j] = THIDReportItem{caps[j].Usage, caps[j].ReportID, static_cast<uint8_t>(caps[j].BitSize),
                          static_cast<uint8_t>(caps[j].ReportCount)};
  if (returned == 1 && t[0].ReportCount == 1) t[0].ReportCount = whole(length);
  return t;
}

// What the simulated parser answers for a list of value capabilities.
uint32_t sim_status(const std::vector<HidValueCap>& caps, const std::optional<uint32_t>& forced) {
  if (forced) return *forced;
  if (caps.empty()) return HIDP_STATUS_USAGE_NOT_FOUND;
  return caps.size() > HID_VALUE_CAPS_ASKED ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
}

bool same(const THIDReportItem (&items)[HID_ITEMS_PER_TABLE], const Table& t) {
  for (int j = 0; j < HID_ITEMS_PER_TABLE; ++j)
    if (items[j].Usage != t[j].Usage || items[j].ReportID != t[j].ReportID || items[j].BitSize != t[j].BitSize ||
        items[j].ReportCount != t[j].ReportCount)
      return false;
  return true;
}

uint8_t expected_count(const Table& t, uint16_t length, uint8_t id) {
  unsigned sum = 0;
  for (const auto& item : t)
    if (item.ReportID == id) sum += item.ReportCount;
  return (sum & 0xFF) != 0 ? static_cast<uint8_t>(sum) : whole(length);
}

std::string cut(const std::string& s) { return s.substr(0, 255); }

void check_open_device(HidLibrary& lib, SimDevice& device, const SimDeviceConfig& c, const THIDDeviceInfo& info,
                       const Table (&tables)[3], FuzzInput& in) {
  const uint16_t lengths[3] = {c.input_length, c.output_length, c.feature_length};
  for (int type = 0; type < 3; ++type) {
    FUZZ_CHECK(lib.report_size(static_cast<ReportType>(type)) == static_cast<uint8_t>(lengths[type]));
    for (uint8_t id = 0; id < 5; ++id)
      FUZZ_CHECK(lib.report_count(static_cast<ReportType>(type), id) ==
                 expected_count(tables[type], lengths[type], id));
  }

  // A read takes the report the device sent, within the input report length.
  Bytes sent = in.bytes(in.byte());
  device.queue_input_report(sent);
  sent.resize(c.input_length);
  THIDReport report;
  std::memset(&report, 0xA5, sizeof report);
  const THIDReport untouched = report;
  const uint8_t got = lib.read_device(&report);
  const uint8_t id = c.input_length > 0 ? sent[0] : 0;
  FUZZ_CHECK(got == expected_count(tables[0], c.input_length, id));
  if (got > 0) {
    Bytes expected(sizeof report, 0);
    std::copy_n(sent.begin(), std::min<size_t>(sent.size(), sizeof report), expected.begin());
    FUZZ_CHECK(std::memcmp(&report, expected.data(), sizeof report) == 0);
  } else {
    FUZZ_CHECK(std::memcmp(&report, &untouched, sizeof report) == 0);
  }

  // A write sends the 65 bytes given and zeros up to the output report length.
  THIDReport out;
  const Bytes chosen = in.bytes(sizeof out);
  std::memset(&out, 0, sizeof out);
  if (!chosen.empty()) std::memcpy(&out, chosen.data(), chosen.size());
  const size_t before = device.output_reports().size();
  const uint8_t written = lib.write_device(out);
  if (info.ReadWrite == 0) {
    FUZZ_CHECK(written == 0 && device.output_reports().size() == before);
  } else {
    FUZZ_CHECK(written == expected_count(tables[1], c.output_length, out.ReportID));
    const auto reports = device.output_reports();
    FUZZ_CHECK(reports.size() == before + 1);
    const Bytes& bytes = reports.back().bytes;
    FUZZ_CHECK(bytes.size() == c.output_length);
    for (size_t i = 0; i < bytes.size(); ++i)
      FUZZ_CHECK(bytes[i] == (i < sizeof out ? reinterpret_cast<const uint8_t*>(&out)[i] : 0));
  }

  // The control path sends the caller's buffer of the output report length.
  Bytes buffer(std::max<size_t>(sizeof(THIDReport), c.output_length), 0);
  std::copy_n(chosen.begin(), std::min(chosen.size(), buffer.size()), buffer.begin());
  const uint8_t control = lib.set_output_report(buffer.data());
  if (c.output_length == 0) {
    FUZZ_CHECK(control == 0);
  } else {
    FUZZ_CHECK(control == expected_count(tables[1], c.output_length, buffer[0]));
    const Bytes bytes = device.output_reports().back().bytes;
    FUZZ_CHECK(bytes.size() == c.output_length);
    FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), buffer.begin()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const int device_count = 1 + in.byte() % 3;
  SimPlatform bus;
  std::vector<std::shared_ptr<SimDevice>> devices;
  for (int i = 0; i < device_count; ++i) {
    devices.push_back(std::make_shared<SimDevice>(read_device(in, i)));
    bus.plug(devices.back());
  }

  HidLibrary lib(bus);
  const uint8_t listed = lib.scan_for_devices();
  FUZZ_CHECK(bus.open_handle_count() == 0);

  uint8_t entry = 0;
  for (const auto& device : devices) {
    const SimDeviceConfig c = device->config();
    const bool shown = c.vendor_id != 0 && c.product_id != 0 && c.access != SimAccess::None && c.attributes_readable;
    if (!shown) continue;
    FUZZ_CHECK(entry < listed);
    THIDDeviceInfo info;
    lib.get_device_info(entry, &info);

    FUZZ_CHECK(hid_text(info.DevicePath) == (c.path.substr(0, 255) + '\0').substr(0, 255));
    FUZZ_CHECK(info.ReadWrite == (c.access == SimAccess::ReadWrite ? 1 : 0));
    FUZZ_CHECK(info.VendorID == c.vendor_id && info.ProductID == c.product_id && info.VersionNumber == c.version);
    FUZZ_CHECK(hid_text(info.Manufacturer) == cut(c.manufacturer.value_or("")));
    FUZZ_CHECK(hid_text(info.Product) == cut(c.product.value_or("")));
    FUZZ_CHECK(hid_text(info.SerialNumber) == cut(c.serial.value_or("---")));
    FUZZ_CHECK(info.DeviceHandle == HID_NO_HANDLE);

    const bool parsed = c.has_preparsed_data;
    const uint16_t lengths[3] = {c.input_length, c.output_length, c.feature_length};
    const std::vector<HidValueCap>* caps[3] = {&c.input_values, &c.output_values, &c.feature_values};
    const THIDReportItem(*items[3])[HID_ITEMS_PER_TABLE] = {&info.InputItems, &info.OutputItems, &info.FeatureItems};
    const uint16_t stored[3] = {info.InputReportByteLength, info.OutputReportByteLength,
                                info.FeatureReportByteLength};
    Table tables[3];
    for (int type = 0; type < 3; ++type) {
      FUZZ_CHECK(stored[type] == (parsed ? lengths[type] : 0));
      tables[type] = parsed ? expected_table(lengths[type], sim_status(*caps[type], c.forced_status[type]),
                                             *caps[type], std::min<size_t>(caps[type]->size(), HID_VALUE_CAPS_ASKED))
                            : Table{};
      FUZZ_CHECK(same(*items[type], tables[type]));
    }

    // A path of 255 bytes is kept without its NUL and still opens, unless its
    // own last byte is a NUL, which the open takes for the terminator.
    const bool opens = c.path.size() <= 254 || (c.path.size() == 255 && c.path.back() != '\0');
    FUZZ_CHECK(lib.open_device(entry) == opens);
    if (opens && parsed) check_open_device(lib, *device, c, info, tables, in);
    lib.close_device();
    ++entry;
  }
  FUZZ_CHECK(listed == entry);

  // A parser may claim more capabilities than the room it was given.
  ValueCapsAnswer answer;
  answer.Status = in.byte() & 1 ? HIDP_STATUS_BUFFER_TOO_SMALL : HIDP_STATUS_SUCCESS;
  answer.Count = in.be16();
  const std::vector<HidValueCap> caps = read_caps(in);
  std::copy_n(caps.begin(), std::min<size_t>(caps.size(), HID_VALUE_CAPS_ASKED), answer.Caps);
  const uint16_t length = in.be16();
  THIDReportItem built[HID_ITEMS_PER_TABLE];
  build_item_table(built, length, answer);
  std::vector<HidValueCap> filled(answer.Caps, answer.Caps + HID_VALUE_CAPS_ASKED);
  FUZZ_CHECK(same(built, expected_table(length, answer.Status, filled, answer.Count)));
  return 0;
}

std::vector<FuzzSeed> fuzz_seeds() {
  auto be16 = [](Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
  };
  auto text = [](Bytes& out, const std::string& s) {
    out.push_back(static_cast<uint8_t>(s.size() / 3));
    out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(s.size() / 3 * 3));
  };
  struct Cap { uint16_t usage; uint8_t id; uint16_t bits, count; };
  auto device = [&](Bytes& out, uint8_t flags, uint16_t vid, uint16_t pid, const std::string& product,
                    bool serial, uint16_t in_len, uint16_t out_len, const std::vector<Cap>& in_caps,
                    const std::vector<Cap>& out_caps) {
    out.push_back(flags);
    be16(out, vid), be16(out, pid), be16(out, 0x0110);
    out.push_back(8);
    const std::string path = "vid_1209&pid_540a";
    out.insert(out.end(), path.begin(), path.begin() + 16);
    text(out, "VORNIX");
    text(out, product);
    if (serial) text(out, "VX540K-000001");
    else out.push_back(0x80);
    be16(out, in_len), be16(out, out_len), be16(out, 0);
    for (const auto* caps : {&in_caps, &out_caps}) {
      out.push_back(static_cast<uint8_t>(caps->size()));
      for (const Cap& c : *caps) {
        be16(out, c.usage);
        out.push_back(c.id);
        be16(out, c.bits), be16(out, c.count);
      }
    }
    out.push_back(0);                    // no feature values
    out.push_back(0), out.push_back(0), out.push_back(0);  // the parser's own statuses
  };
  Bytes mx{0}, two_values{1}, wine{1}, many{0};
  // The MX-540KTR as the virtual device describes it: one 64-byte value each way.
  device(mx, 0, 0x1209, 0x540A, "MX-540KTR", true, 65, 65, {{1, 1, 8, 64}}, {{2, 1, 8, 64}});
  mx.push_back(10);
  for (int i = 0; i < 10; ++i) mx.push_back(static_cast<uint8_t>(i ? i : 1));
  // Two input values on report 1 (30 + 33 items), a one-item output value of a
  // 65-byte report, and a second device without a serial number.
  device(two_values, 0, 0x1209, 0x540A, "MX-540KTR (boot)", true, 64, 65, {{1, 1, 8, 30}, {2, 1, 8, 33}},
         {{3, 1, 8, 1}});
  device(two_values, 0, 0x1209, 0x540B, "MX-540KTR", false, 65, 65, {}, {});
  // Wine's keyboard and mouse: query-only, no output reports, no values.
  device(wine, 1, 0x845E, 0x0002, "Wine HID keyboard", true, 9, 0, {}, {});
  device(wine, 1, 0x845E, 0x0001, "Wine HID mouse", true, 5, 0, {}, {});
  // Twelve input values: the first ten are kept.
  std::vector<Cap> twelve;
  for (uint8_t i = 0; i < 12; ++i) twelve.push_back({static_cast<uint16_t>(0x30 + i), 1, 8, 5});
  device(many, 0, 0x1209, 0x540A, "MX-540KTR", true, 61, 65, twelve, {{2, 2, 16, 1}});
  return {{"virtual-mx540", mx}, {"two-values", two_values}, {"wine-devices", wine}, {"twelve-values", many}};
}
