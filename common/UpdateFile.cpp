#include "UpdateFile.h"

#include <algorithm>

namespace {

uint16_t be16(std::span<const uint8_t> bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

uint8_t digit_at(const std::string& text, size_t at) {
  if (at < text.size() && text[at] >= '0' && text[at] <= '9')
    return static_cast<uint8_t>(text[at] - '0');
  return 0;
}

}  // namespace

const char* update_file_fault_text(UpdateFileFault fault) {
  switch (fault) {
    case UpdateFileFault::none: return "none";
    case UpdateFileFault::unreadable: return "file cannot be read";
    case UpdateFileFault::too_large: return "file too large";
    case UpdateFileFault::too_short: return "file shorter than 2 bytes";
    case UpdateFileFault::header_too_short: return "header length below 3";
    case UpdateFileFault::header_past_end: return "file shorter than its header";
    case UpdateFileFault::name_not_ended: return "NAME= not followed by &";
    case UpdateFileFault::wrong_device: return "file for another device";
    case UpdateFileFault::no_records: return "no records";
    case UpdateFileFault::records_too_long: return "record area over 65535 bytes";
    case UpdateFileFault::record_past_end: return "record past the end of the file";
    case UpdateFileFault::image_too_large: return "image too large";
  }
  return "unknown";
}

UpdateFileFault read_update_header(std::span<const uint8_t> file, Tinf& inf) {
  inf = Tinf{};
  if (file.size() > max_update_file_size) return UpdateFileFault::too_large;
  if (file.size() < 2) return UpdateFileFault::too_short;
  const size_t h = be16(file, 0);
  if (h < 3) return UpdateFileFault::header_too_short;
  if (file.size() < h) return UpdateFileFault::header_past_end;

  auto block = file.subspan(2, h - 2);
  auto zero = std::find(block.begin(), block.end(), uint8_t{0});
  const std::string text(block.begin(), zero);

  if (auto p = text.find("NAME="); p != std::string::npos) {
    // The name ends at the first "&" of the whole text, which must therefore
    // come after the key; a file that breaks this has no readable name.
    const auto amp = text.find('&');
    if (amp == std::string::npos || amp < p + 5) return UpdateFileFault::name_not_ended;
    inf.name = text.substr(p + 5, amp - (p + 5));
  }
  if (auto p = text.find("VERSION="); p != std::string::npos) {
    // The character between the two digits is not looked at.
    inf.version[0] = digit_at(text, p + 8);
    inf.version[1] = digit_at(text, p + 10);
  }
  return UpdateFileFault::none;
}

bool update_name_fits(const std::string& dev_name, const std::string& name) {
  std::string model = dev_name;
  if (auto p = model.find("(boot)"); p != std::string::npos) model.erase(p, 6);
  return model == name;
}

UpdateFileFault read_update_records(std::span<const uint8_t> file, std::vector<uint8_t>& flash,
                                    std::vector<uint8_t>& eeprom) {
  flash.clear();
  eeprom.clear();
  if (file.size() < 2 || file.size() < be16(file, 0)) return UpdateFileFault::header_past_end;
  auto area = file.subspan(be16(file, 0));
  if (area.empty()) return UpdateFileFault::no_records;
  if (area.size() > max_record_area) return UpdateFileFault::records_too_long;

  size_t f = 0;
  while (f < area.size()) {
    // A record is L, four unread bytes, the type, L data bytes and two
    // unread bytes; all of it must be inside the file, the stride included.
    if (area.size() - f < 9) return UpdateFileFault::record_past_end;
    const size_t len = std::min<size_t>(be16(area, f), 256);
    if (area.size() - f < len + 9) return UpdateFileFault::record_past_end;
    const uint8_t type = area[f + 6];
    auto data = area.subspan(f + 7, len);
    if (type == 0) flash.insert(flash.end(), data.begin(), data.end());
    else if (type == 2) eeprom.insert(eeprom.end(), data.begin(), data.end());
    f += len + 9;
  }
  return UpdateFileFault::none;
}

bool update_images_fit(size_t flash_size, size_t eeprom_size) {
  return flash_size <= max_image_size && eeprom_size <= max_image_size;
}

UpdateFile read_update_file(std::span<const uint8_t> file, const std::string& dev_name) {
  UpdateFile out;
  out.fault = read_update_header(file, out.inf);
  if (out.fault != UpdateFileFault::none) return out;
  if (!update_name_fits(dev_name, out.inf.name)) {
    out.fault = UpdateFileFault::wrong_device;
    return out;
  }
  out.fault = read_update_records(file, out.flash, out.eeprom);
  if (out.fault == UpdateFileFault::none && !update_images_fit(out.flash.size(), out.eeprom.size()))
    out.fault = UpdateFileFault::image_too_large;
  if (out.fault != UpdateFileFault::none) {
    out.flash.clear();
    out.eeprom.clear();
  }
  return out;
}
