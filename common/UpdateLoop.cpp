#include "UpdateLoop.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "UpdateFile.h"

int update_progress(size_t flash_done, size_t eeprom_done, size_t flash_size, size_t eeprom_size) {
  const size_t total = flash_size + eeprom_size;
  if (total == 0) return 0;
  const double share = static_cast<double>(flash_done + eeprom_done) / static_cast<double>(total);
  // nearbyint under the default rounding mode rounds half to even (62.5 -> 62).
  return static_cast<int>(std::nearbyint(share * 100.0));
}

UpdateOutcome run_update(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& eeprom,
                         const UpdatePoster& poster) {
  if (!update_images_fit(flash.size(), eeprom.size())) return UpdateOutcome::too_large;

  std::array<uint8_t, update_block_size> block;
  size_t flash_done = 0, eeprom_done = 0;
  auto send = [&](const std::vector<uint8_t>& image, const auto& write, size_t& done) {
    while (done < image.size()) {
      const size_t n = std::min(update_block_size, image.size() - done);
      block.fill(0xFF);
      std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(done), n, block.begin());
      if (!write(static_cast<uint16_t>(done), block.data(), block.size())) return false;
      done += n;
      if (poster.progress)
        poster.progress(update_progress(flash_done, eeprom_done, flash.size(), eeprom.size()));
    }
    return true;
  };
  if (!send(flash, poster.write_flash, flash_done)) return UpdateOutcome::failed;
  if (!send(eeprom, poster.write_eep, eeprom_done)) return UpdateOutcome::failed;
  if (poster.finish) poster.finish();
  return UpdateOutcome::finished;
}
