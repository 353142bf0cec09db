// Update file (*.vnxu) reader: the header record Tinf, the device-name check
// and the walk that splits the records into the flash and EEPROM images.
// Portable: no platform headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The header of an update file. Only `name` decides anything; `version` is
// major then minor, `date` is never filled by any key.
struct Tinf {
  std::string name;
  uint8_t version[2] = {0, 0};
  std::string date;
};

// Why a file is refused. Every value but `none` ends in "Неверный файл!"
// before anything is sent to the device.
enum class UpdateFileFault {
  none,
  unreadable,          // the file could not be opened or read
  too_large,           // larger than any well-formed file can be
  too_short,           // fewer than 2 bytes
  header_too_short,    // H below 3
  header_past_end,     // file shorter than H
  name_not_ended,      // "NAME=" with no "&" after it (or the first "&" before it)
  wrong_device,        // NAME does not fit the device's product name
  no_records,          // the record area is empty
  records_too_long,    // record area over 65,535 bytes
  record_past_end,     // a record does not lie whole inside the file
  image_too_large,     // an image whose blocks would not have 16-bit addresses
};

const char* update_file_fault_text(UpdateFileFault fault);

// Largest record area the 16-bit walk can cover, and so the largest file:
// a header of at most 65,535 bytes plus that area.
inline constexpr size_t max_record_area = 65535;
inline constexpr size_t max_update_file_size = 65535 + max_record_area;

// Reads H and the header text, then NAME and VERSION, into `inf`.
UpdateFileFault read_update_header(std::span<const uint8_t> file, Tinf& inf);

// The device-name check: the first "(boot)" deleted from the product name,
// nothing else changed, then an exact comparison with NAME.
bool update_name_fits(const std::string& dev_name, const std::string& name);

// Walks the record area (from offset H, which the header check has made
// sure lies inside the file) and appends types 0 and 2 to the two images.
UpdateFileFault read_update_records(std::span<const uint8_t> file, std::vector<uint8_t>& flash,
                                    std::vector<uint8_t>& eeprom);

// Every block address must fit 16 bits: the last 512-byte block of an image
// may start at 65024 at most, so an image holds at most 65,536 bytes.
inline constexpr size_t max_image_size = 65536;
bool update_images_fit(size_t flash_size, size_t eeprom_size);

struct UpdateFile {
  UpdateFileFault fault = UpdateFileFault::unreadable;
  Tinf inf;
  std::vector<uint8_t> flash;
  std::vector<uint8_t> eeprom;
  bool ok() const { return fault == UpdateFileFault::none; }
};

// The whole reading in the dialog's order: header, name check against the
// device, records. On any fault the images are empty. The header is
// single-byte text: `dev_name` comes in the same encoding (on Windows the
// ANSI code page, as the device record holds the product name).
UpdateFile read_update_file(std::span<const uint8_t> file, const std::string& dev_name);
