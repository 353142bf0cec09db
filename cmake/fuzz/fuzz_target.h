// What every fuzz target of the project shares. A target source defines
//   int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
//   std::vector<FuzzSeed> fuzz_seeds()      // its starting inputs
// and checks its properties with FUZZ_CHECK. The same source is built three ways:
//   - with libFuzzer (MX_FUZZ_ENGINE): a failed property prints and aborts, so
//     the engine keeps the input;
//   - into the ordinary test suite (replay_test.cpp): every kept input and seed
//     is run once and a failed property is a test failure;
//   - into the seed writer (seeds_main.cpp), which writes fuzz_seeds() out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

struct FuzzSeed {
  std::string name;
  std::vector<uint8_t> bytes;
};
std::vector<FuzzSeed> fuzz_seeds();

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

struct FuzzPropertyFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fuzz_property_failed(const char* file, int line, const char* what) {
  const std::string text = std::string(file) + ":" + std::to_string(line) + ": property failed: " + what;
#ifdef MX_FUZZ_ENGINE
  std::fprintf(stderr, "%s\n", text.c_str());
  std::abort();
#else
  throw FuzzPropertyFailure(text);
#endif
}

#define FUZZ_CHECK(condition)                                             \
  do {                                                                    \
    if (!(condition)) fuzz_property_failed(__FILE__, __LINE__, #condition); \
  } while (0)

// Takes bytes off the front of a fuzz input; past its end every read gives zeros.
class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  size_t left() const { return at_ < size_ ? size_ - at_ : 0; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t be16() {
    const uint16_t high = byte();
    return static_cast<uint16_t>(high << 8 | byte());
  }
  uint32_t be32() {
    const uint32_t high = be16();
    return high << 16 | be16();
  }
  // Up to n bytes, fewer when the input ends first.
  std::vector<uint8_t> bytes(size_t n) {
    const size_t k = n < left() ? n : left();
    std::vector<uint8_t> out(data_ + at_, data_ + at_ + k);
    at_ += k;
    return out;
  }
  std::vector<uint8_t> rest() { return bytes(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};
