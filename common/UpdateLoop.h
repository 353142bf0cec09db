// The update dialog's write loop: the flash image, then the EEPROM image, in
// 512-byte blocks padded with 0xFF, then cmd_finish. Portable: the posts are
// handed in as callables, so the loop runs over the link or over a recorder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

inline constexpr size_t update_block_size = 512;

struct UpdatePoster {
  // Each sends one block and returns once it has been sent, true on success.
  std::function<bool(uint16_t adr, const uint8_t* b, size_t n)> write_flash;
  std::function<bool(uint16_t adr, const uint8_t* b, size_t n)> write_eep;
  std::function<void()> finish;           // posts cmd_finish without waiting
  std::function<void(int percent)> progress;   // after every block sent
};

enum class UpdateOutcome {
  finished,     // every block sent and cmd_finish posted
  failed,       // a block was not sent; nothing more went out
  too_large,    // an image too large for 16-bit block addresses; nothing sent
};

// round((flash offset + EEPROM offset) / (flash size + EEPROM size) x 100),
// division first, ties to the even integer.
int update_progress(size_t flash_done, size_t eeprom_done, size_t flash_size, size_t eeprom_size);

UpdateOutcome run_update(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& eeprom,
                         const UpdatePoster& poster);
