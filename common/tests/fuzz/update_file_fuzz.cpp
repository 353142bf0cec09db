// The update file reader: header, name check, record walk and the split into
// the two images.
//
// Input: one selector byte, then the file. The selector chooses the device
// name the file is checked against: the file's own NAME (so most inputs get past
// the check to the records), that name with "(boot)" put in somewhere, or a
// fixed product name of the virtual device.
//
// Properties, besides reading nothing outside the file (ASan):
//   - the reader's verdict is the header's fault when the header is refused;
//   - a refused file leaves both images empty;
//   - an accepted file fits the device name, its NAME holds no "&", its version
//     digits are 0 to 9, and its images are exactly what a plain walk of the
//     records gives: never larger than the records, each record a slice of the file;
//   - the images of an accepted file, written again by the project's generator,
//     read back the same, with the same name and (unless the name itself holds
//     "VERSION=") the same version.
#include "fuzz_target.h"

#include "UpdateFile.h"
#include "vnxu.h"

#include <algorithm>

namespace {

using Bytes = std::vector<uint8_t>;

struct Walk {
  bool ok = false;
  Bytes flash, eeprom;
  size_t records = 0;
};

// The record walk as the file format describes it, on a file whose header was
// accepted: every record whole inside the file, at most 256 data bytes taken.
Walk plain_walk(const Bytes& file) {
  Walk w;
  const size_t h = static_cast<size_t>(file[0]) << 8 | file[1];
  const size_t end = file.size();
  if (end == h || end - h > 65535) return w;
  size_t f = h;
  while (f < end) {
    if (f + 9 > end) return w;
    const size_t declared = static_cast<size_t>(file[f]) << 8 | file[f + 1];
    const size_t taken = std::min<size_t>(declared, 256);
    if (f + taken + 9 > end) return w;
    Bytes& image = file[f + 6] == 0 ? w.flash : w.eeprom;
    if (file[f + 6] == 0 || file[f + 6] == 2)
      image.insert(image.end(), file.begin() + static_cast<std::ptrdiff_t>(f + 7),
                   file.begin() + static_cast<std::ptrdiff_t>(f + 7 + taken));
    ++w.records;
    f += taken + 9;
  }
  w.ok = w.flash.size() <= 65536 && w.eeprom.size() <= 65536;
  return w;
}

std::string device_name(uint8_t selector, const std::string& file_name) {
  switch (selector % 4) {
    case 0: return file_name;
    case 1: {
      const size_t at = file_name.empty() ? 0 : (selector / 4u) % (file_name.size() + 1);
      return file_name.substr(0, at) + "(boot)" + file_name.substr(at);
    }
    case 2: return "MX-540KTR (boot)";
    default: return "MX-540KTR";
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  // A copy of exactly the file's bytes, so any read past it is caught.
  const Bytes file(data + 1, data + size);

  Tinf header;
  const UpdateFileFault header_fault = read_update_header(file, header);
  const std::string dev_name = device_name(selector, header.name);
  const UpdateFile u = read_update_file(file, dev_name);

  if (header_fault != UpdateFileFault::none) FUZZ_CHECK(u.fault == header_fault);
  if (!u.ok()) {
    FUZZ_CHECK(u.flash.empty() && u.eeprom.empty());
    return 0;
  }

  FUZZ_CHECK(update_name_fits(dev_name, u.inf.name));
  FUZZ_CHECK(u.inf.name.find('&') == std::string::npos);
  FUZZ_CHECK(u.inf.version[0] <= 9 && u.inf.version[1] <= 9);
  FUZZ_CHECK(u.inf.date.empty());

  const Walk walk = plain_walk(file);
  FUZZ_CHECK(walk.ok);
  FUZZ_CHECK(u.flash == walk.flash);
  FUZZ_CHECK(u.eeprom == walk.eeprom);
  const size_t h = static_cast<size_t>(file[0]) << 8 | file[1];
  FUZZ_CHECK(u.flash.size() + u.eeprom.size() + 9 * walk.records <= file.size() - h);

  // Written again by the generator (when its records fit one file), the images read back.
  const Bytes again = make_vnxu_file(u.inf.name, u.inf.version[0], u.inf.version[1], u.flash, u.eeprom);
  const size_t h2 = static_cast<size_t>(again[0]) << 8 | again[1];
  if (again.size() - h2 <= max_record_area && again.size() > h2) {
    const UpdateFile back = read_update_file(again, dev_name);
    FUZZ_CHECK(back.ok());
    FUZZ_CHECK(back.flash == u.flash && back.eeprom == u.eeprom);
    FUZZ_CHECK(back.inf.name == u.inf.name);
    // The first "VERSION=" counts: a name that holds one gives the version.
    if (u.inf.name.find("VERSION=") == std::string::npos)
      FUZZ_CHECK(back.inf.version[0] == u.inf.version[0] && back.inf.version[1] == u.inf.version[1]);
  }
  return 0;
}

std::vector<FuzzSeed> fuzz_seeds() {
  auto image = [](size_t n, uint8_t salt) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + salt);
    return b;
  };
  auto seed = [](uint8_t selector, const Bytes& file) {
    Bytes b{selector};
    b.insert(b.end(), file.begin(), file.end());
    return b;
  };
  std::vector<VnxuRecord> mixed(3);
  mixed[0].type = 0, mixed[0].data = image(40, 1);
  mixed[1].type = 2, mixed[1].data = image(20, 2);
  mixed[2].type = 7, mixed[2].data = image(10, 3);
  std::vector<VnxuRecord> long_record(2);
  long_record[0].type = 0, long_record[0].data = image(256, 4), long_record[0].declared = 300;
  long_record[1].type = 2, long_record[1].data = image(5, 5);
  return {
      {"virtual-device", seed(2, make_vnxu_file("MX-540KTR ", 2, 1, image(1024, 7), image(64, 9)))},
      {"own-name", seed(0, make_vnxu_file("MX-540KTR", 1, 16, image(600, 11), {}))},
      {"boot-inserted", seed(1, make_vnxu_file("MX", 3, 7, {}, image(300, 13)))},
      {"mixed-types", seed(0, make_vnxu("NAME=MX-540KTR&VERSION=37&", mixed))},
      {"long-record", seed(0, make_vnxu("VERSION=1.0&NAME=X&", long_record))},
      {"no-name", seed(3, make_vnxu("VERSION=9.9", mixed))},
  };
}
