// Runs a fuzz target once on every kept input of its folder: the minimised
// inputs that once broke a property or crashed (regressions/) and the seeds.
// MX_FUZZ_INPUT_DIRS lists the folders, separated by '|'; MX_FUZZ_SUITE names
// the test after its target.
#include "fuzz_target.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

std::vector<std::filesystem::path> kept_inputs(const std::string& dirs) {
  std::vector<std::filesystem::path> files;
  std::istringstream list(dirs);
  for (std::string dir; std::getline(list, dir, '|');) {
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(MX_FUZZ_SUITE, EveryKeptInputHoldsItsProperties) {
  const auto files = kept_inputs(MX_FUZZ_INPUT_DIRS);
  ASSERT_FALSE(files.empty()) << "no kept inputs in " << MX_FUZZ_INPUT_DIRS;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    try {
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    } catch (const FuzzPropertyFailure& failure) {
      ADD_FAILURE() << file.filename().string() << ": " << failure.what();
    }
  }
}

}  // namespace
