// LEB128 varints: the one encoder and the one decoder, used by every codec of the module.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.h"
#include "common/outcome.h"

namespace quorbel::encoding {

// Longest varint of an unsigned 64-bit value.
inline constexpr std::size_t kMaxVarintBytes = 10;

// Writes the shortest varint of `value` (1 to 10 bytes) at `out`, which has room for
// kMaxVarintBytes; returns the end.
inline std::uint8_t* write_varint(std::uint64_t value, std::uint8_t* out) noexcept {
  while (value >= 0x80) {
    *out++ = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(value);
  return out;
}

struct DecodedVarint {
  std::uint64_t value;
  std::size_t length;  // bytes taken, 1 to 10
};

// Decodes the varint at the start of `bytes`; reads only inside the span. Longer-than-needed
// forms are accepted. Of a tenth byte only the lowest payload bit is used (as bit 63); a tenth
// byte with its continuation bit set is VarintError::unexpected_end when the span ends there and
// too_many_bytes otherwise.
inline Outcome<DecodedVarint> decode_varint(ByteSpan bytes) noexcept {
  const std::size_t available = bytes.size();
  // Most varints of a posting list are one byte.
  if (available > 0 && bytes[0] < 0x80) return DecodedVarint{bytes[0], 1};
  // The loop stops at the span's end or before the tenth byte, so no byte needs its own bounds
  // check.
  const std::size_t stop = available < 9 ? available : 9;
  std::uint64_t result = 0;
  for (std::size_t k = 0; k < stop; ++k) {
    const std::uint8_t byte = bytes[k];
    result |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * k);
    if ((byte & 0x80) == 0) return DecodedVarint{result, k + 1};
  }
  if (available <= 9) return VarintError::unexpected_end;
  const std::uint8_t last = bytes[9];
  if ((last & 0x80) == 0)
    return DecodedVarint{result | (static_cast<std::uint64_t>(last) << 63), 10};
  return available == 10 ? VarintError::unexpected_end : VarintError::too_many_bytes;
}

}  // namespace quorbel::encoding
