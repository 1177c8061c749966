// Strict UTF-8 validation of term bytes (no overlong forms, no surrogates, nothing above
// U+10FFFF), with the position and extent of the first fault. Free of the Python API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/bytes.h"

namespace quorbel::blockfile {

struct Utf8Check {
  enum class Status : std::uint8_t { valid, invalid, incomplete };
  Status status = Status::valid;
  // invalid, incomplete: where the faulty sequence starts (the length of the longest valid prefix).
  std::size_t index = 0;
  // invalid: length of the sequence's maximal subpart (1, 2 or 3), the bytes that one U+FFFD
  // replaces.
  std::size_t length = 0;

  bool ok() const noexcept { return status == Status::valid; }
};

Utf8Check check_utf8(ByteSpan bytes) noexcept;

// "invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8 byte sequence from
// index I", for a failed check.
std::string utf8_error_text(const Utf8Check& check);

}  // namespace quorbel::blockfile
