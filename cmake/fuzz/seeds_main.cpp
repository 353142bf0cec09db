// Writes a fuzz target's seeds (fuzz_seeds()) into the folder given, one file each.
#include "fuzz_target.h"

#include <filesystem>
#include <fstream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::filesystem::create_directories(argv[1]);
  for (const FuzzSeed& seed : fuzz_seeds()) {
    std::ofstream out(std::filesystem::path(argv[1]) / seed.name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", seed.name.c_str());
      return 1;
    }
  }
  return 0;
}
