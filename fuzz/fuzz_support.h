// Helpers shared by the fuzz targets: a reader that turns the fuzzer's bytes
// into the values a target needs, and the check that turns a broken
// property into a crash libFuzzer records.
//
// FuzzInput reads from the front and gives zeros once the bytes run out, so
// every input, however short, is a complete case. The seed files in
// fuzz/corpus/ follow the layouts that each target's header comment gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Reports what property failed and aborts, which libFuzzer records as a
// crash together with the input.
#define FUZZ_REQUIRE(condition, ...)                               \
  do {                                                             \
    if (!(condition)) {                                            \
      std::fprintf(stderr, "fuzz check failed: %s: ", #condition); \
      std::fprintf(stderr, __VA_ARGS__);                           \
      std::fputc('\n', stderr);                                    \
      std::abort();                                                \
    }                                                              \
  } while (0)

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return used_ == size_; }
  size_t remaining() const { return size_ - used_; }

  uint8_t take_byte() { return empty() ? 0 : data_[used_++]; }

  // Four bytes, little-endian.
  int32_t take_int32() {
    uint32_t value = 0;
    for (int shift = 0; shift < 32; shift += 8) value |= uint32_t{take_byte()} << shift;
    int32_t result;
    std::memcpy(&result, &value, sizeof result);
    return result;
  }

  // A value in low..high (inclusive) from one byte. REQUIRES: low <= high,
  // high - low < 256.
  int32_t take_small(int32_t low, int32_t high) {
    return low + static_cast<int32_t>(take_byte() % static_cast<uint32_t>(high - low + 1));
  }

  // Up to length bytes; returns how many were taken.
  size_t take_bytes(char* out, size_t length) {
    const size_t n = length < remaining() ? length : remaining();
    if (n != 0) std::memcpy(out, data_ + used_, n);
    used_ += n;
    return n;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
};
