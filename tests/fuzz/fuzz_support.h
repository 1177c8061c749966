// Helpers shared by the libFuzzer harnesses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "common/outcome.h"

// Fails the run with a message; libFuzzer saves the input that got here.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace quorbel::fuzz {

// A heap copy of the input of exactly its size, so that AddressSanitizer reports any read past
// the end (libFuzzer's own buffer may have slack behind it).
class ExactCopy {
 public:
  ExactCopy(const std::uint8_t* data, std::size_t size)
      : bytes_(new std::uint8_t[size]), size_(size) {
    if (size > 0) std::memcpy(bytes_.get(), data, size);
  }
  std::span<const std::uint8_t> span() const noexcept {
    // Even an empty input has its own zero-sized allocation, so a read of it is reported.
    return {bytes_.get(), size_};
  }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_;
};

// Whether two outcomes reach the same verdict: both succeed, or both fail with equal failures.
template <class A, class B>
bool same_verdict(const Outcome<A>& a, const Outcome<B>& b) {
  if (a.ok() || b.ok()) return a.ok() == b.ok();
  return a.error() == b.error();
}

}  // namespace quorbel::fuzz
