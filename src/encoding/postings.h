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

// The exact byte count of the byte form of `postings`.
std::size_t encoded_size(PostingSpan postings) noexcept;

// Writes the byte form of `postings`, in the order given, at `out`, which has room for
// encoded_size(postings) bytes; returns the end. Per posting: the doc-id delta (from 0 for the
// first), content_freq and title_freq, each sign-extended and varint-coded.
std::uint8_t* write_postings(PostingSpan postings, std::uint8_t* out) noexcept;

// Appends the byte form of `postings`, in the order given, to `out`.
void encode_postings(PostingSpan postings, ByteBuffer& out);

// The number of postings a well-formed posting-list span holds (a third of its varints, counted
// by their last bytes). For malformed bytes it is a bound on what decoding can produce, so it
// suits reserving capacity, never a check of well-formedness.
std::size_t count_postings(ByteSpan bytes) noexcept;

// Decodes a whole posting-list span, appending to `out`. Every byte must belong to a complete
// posting; on failure `out` holds the postings decoded before it and the status says why.
DecodeStatus decode_postings_into(ByteSpan bytes, std::vector<Posting>& out);

}  // namespace quorbel::encoding
