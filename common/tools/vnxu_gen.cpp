// vnxu_gen: writes an update file from two binary images.
//   vnxu_gen -n NAME [-v MAJOR.MINOR] [-f flash.bin] [-e eeprom.bin] -o out.vnxu
//   vnxu_gen -n NAME [-v MAJOR.MINOR] --random SEED FLASH_BYTES EEPROM_BYTES -o out.vnxu
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "vnxu.h"

namespace {
bool load(const char* path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), {});
  return true;
}
int usage() {
  std::fprintf(stderr,
               "usage: vnxu_gen -n NAME [-v MAJOR.MINOR] [-f flash.bin] [-e eeprom.bin] -o out.vnxu\n"
               "       vnxu_gen -n NAME [-v MAJOR.MINOR] --random SEED FLASH_BYTES EEPROM_BYTES -o out.vnxu\n");
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  std::string name, out_path;
  int major = 1, minor = 0;
  std::vector<uint8_t> flash, eeprom;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "-n") {
      const char* v = next(); if (!v) return usage(); name = v;
    } else if (a == "-v") {
      const char* v = next(); if (!v || std::sscanf(v, "%d.%d", &major, &minor) != 2) return usage();
    } else if (a == "-f" || a == "-e") {
      const char* v = next();
      if (!v || !load(v, a == "-f" ? flash : eeprom)) { std::fprintf(stderr, "cannot read %s\n", v ? v : ""); return 1; }
    } else if (a == "--random") {
      const char* s = next(); const char* fs = next(); const char* es = next();
      if (!s || !fs || !es) return usage();
      std::mt19937 gen(static_cast<unsigned>(std::strtoul(s, nullptr, 10)));
      flash.resize(std::strtoul(fs, nullptr, 10));
      eeprom.resize(std::strtoul(es, nullptr, 10));
      for (auto& b : flash) b = static_cast<uint8_t>(gen());
      for (auto& b : eeprom) b = static_cast<uint8_t>(gen());
    } else if (a == "-o") {
      const char* v = next(); if (!v) return usage(); out_path = v;
    } else {
      return usage();
    }
  }
  if (name.empty() || out_path.empty()) return usage();
  const auto bytes = make_vnxu_file(name, major, minor, flash, eeprom);
  // Readers walk the record area with a 16-bit offset.
  const size_t header = static_cast<size_t>(bytes[0]) << 8 | bytes[1];
  if (bytes.size() - header > 65535) {
    std::fprintf(stderr, "images too large for one update file: %zu bytes of records, at most 65535\n",
                 bytes.size() - header);
    return 1;
  }
  std::ofstream out(out_path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) { std::fprintf(stderr, "cannot write %s\n", out_path.c_str()); return 1; }
  return 0;
}
