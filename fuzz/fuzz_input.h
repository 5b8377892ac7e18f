// What the harnesses share: a reader that turns the fuzzer's bytes into the
// choices a harness makes (chunk sizes, ticks) and the bytes it feeds, and
// a check that stops the run when a property does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/plat_log.h"

// Aborts (a finding) with the property that failed.
#define FUZZ_CHECK(cond)                                                         \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                              \
    }                                                                            \
  } while (0)

class fuzz_input final {
 public:
  fuzz_input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
  size_t left() const { return size_ - at_; }
  // One byte of choice, 0 once the input is used up.
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  // Up to `n` bytes to feed: *out points at them, the count is returned.
  size_t take(size_t n, const uint8_t **out) {
    if (n > left()) n = left();
    *out = data_ + at_;
    at_ += n;
    return n;
  }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// Log lines cost more than the code under test: silenced.
inline void fuzz_quiet_logs() { plat_log_set_level(0); }
