// Postings and the byte form of posting lists (delta-coded varints, no header).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "encoding/byte_buffer.h"
#include "encoding/varint.h"

namespace quorbel::encoding {

// One document holding a term. All arithmetic on postings wraps modulo 2**32.
struct Posting {
  std::int32_t doc_id;
  std::int32_t content_freq;
  std::int32_t title_freq;

  friend bool operator==(const Posting&, const Posting&) = default;
};

using PostingSpan = std::span<const Posting>;

// Bytes reserved per posting before encoding: three five-byte varints.
inline constexpr std::size_t kReservedBytesPerPosting = 15;

// a - b modulo 2**32, read as signed.
inline std::int32_t wrapping_sub(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// a + b modulo 2**32, read as signed.
inline std::int32_t wrapping_add(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// The sign-extended 64-bit pattern under which a 32-bit field is stored.
inline std::uint64_t widen(std::int32_t value) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

// Appends the byte form of `postings`, in the order given, to `out`: per posting the doc-id delta
// (from 0 for the first), content_freq and title_freq, each sign-extended and varint-coded.
void encode_postings(PostingSpan postings, ByteBuffer& out);

// Decodes a whole posting-list span, appending to `out`. Every byte must belong to a complete
// posting; on failure `out` holds the postings decoded before it and the status says why.
DecodeStatus decode_postings_into(ByteSpan bytes, std::vector<Posting>& out);

}  // namespace quorbel::encoding
