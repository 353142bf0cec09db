#include "vnxu.h"

#include <algorithm>

namespace {
void put16(std::vector<uint8_t>& out, size_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
}  // namespace

std::vector<uint8_t> make_vnxu(const std::string& header_text, const std::vector<VnxuRecord>& records) {
  std::vector<uint8_t> out;
  put16(out, header_text.size() + 3);
  out.insert(out.end(), header_text.begin(), header_text.end());
  out.push_back(0);
  size_t image_offset[256] = {};
  for (const auto& r : records) {
    put16(out, r.declared.value_or(static_cast<uint16_t>(r.data.size())));
    const size_t at = image_offset[r.type];
    put16(out, at >> 16);
    put16(out, at & 0xFFFF);
    out.push_back(r.type);
    out.insert(out.end(), r.data.begin(), r.data.end());
    size_t sum = 0;
    for (uint8_t b : r.data) sum += b;
    put16(out, sum & 0xFFFF);
    image_offset[r.type] += r.data.size();
  }
  return out;
}

std::vector<VnxuRecord> vnxu_records(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& eeprom,
                                     size_t chunk) {
  std::vector<VnxuRecord> out;
  auto cut = [&](const std::vector<uint8_t>& image, uint8_t type) {
    for (size_t at = 0; at < image.size(); at += chunk) {
      const size_t n = std::min(chunk, image.size() - at);
      out.push_back({type, std::vector<uint8_t>(image.begin() + at, image.begin() + at + n), {}});
    }
  };
  cut(flash, 0);
  cut(eeprom, 2);
  return out;
}

std::vector<uint8_t> make_vnxu_file(const std::string& name, int major, int minor,
                                    const std::vector<uint8_t>& flash, const std::vector<uint8_t>& eeprom) {
  const std::string header =
      "NAME=" + name + "&VERSION=" + std::to_string(major) + "." + std::to_string(minor) + "&";
  return make_vnxu(header, vnxu_records(flash, eeprom));
}
