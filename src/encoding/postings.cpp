#include "encoding/postings.h"

#include <algorithm>

namespace quorbel::encoding {

namespace {

// Writes the varint of a 32-bit field widened by sign extension (write_varint(widen(value))).
inline std::uint8_t* write_field(std::int32_t value, std::uint8_t* out) noexcept {
  auto bits = static_cast<std::uint32_t>(value);
  if (bits < 0x80) {  // the common case: small frequencies and dense doc ids
    *out = static_cast<std::uint8_t>(bits);
    return out + 1;
  }
  if (value > 0) return write_varint(bits, out);
  // Negative: the low 32 bits, then the 32 sign bits: bytes 4 to 8 carry only ones above bit 31,
  // and the tenth byte holds bit 63.
  out[0] = static_cast<std::uint8_t>(bits | 0x80);
  out[1] = static_cast<std::uint8_t>((bits >> 7) | 0x80);
  out[2] = static_cast<std::uint8_t>((bits >> 14) | 0x80);
  out[3] = static_cast<std::uint8_t>((bits >> 21) | 0x80);
  out[4] = static_cast<std::uint8_t>((bits >> 28) | 0xf0);
  out[5] = out[6] = out[7] = out[8] = 0xff;
  out[9] = 0x01;
  return out + kMaxVarintBytes;
}

// Decodes a varint at `p` without bounds checks: the caller guarantees that 11 bytes are
// readable, so an eleventh byte always exists and ten continuation bytes mean too_many_bytes.
inline bool decode_unchecked(const std::uint8_t*& p, std::uint64_t& value) noexcept {
  std::uint64_t result = p[0];
  if (result < 0x80) {
    ++p;
    value = result;
    return true;
  }
  result &= 0x7f;
  for (unsigned k = 1; k < 9; ++k) {
    const std::uint8_t byte = p[k];
    result |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * k);
    if ((byte & 0x80) == 0) {
      p += k + 1;
      value = result;
      return true;
    }
  }
  const std::uint8_t last = p[9];
  if ((last & 0x80) != 0) return false;
  p += kMaxVarintBytes;
  value = result | (static_cast<std::uint64_t>(last) << 63);
  return true;
}

// The longest posting (three ten-byte varints) plus the byte after it, so that decode_unchecked
// may look at an eleventh byte after any of the three.
constexpr std::size_t kUncheckedMargin = 3 * kMaxVarintBytes + 1;

}  // namespace

std::size_t encoded_size(PostingSpan postings) noexcept {
  std::size_t size = 0;
  std::int32_t previous = 0;
  for (const Posting& posting : postings) {
    size += posting_length(posting, previous);
    previous = posting.doc_id;
  }
  return size;
}

namespace {

// write_postings for a stretch of a list whose previous doc id is `previous`.
std::uint8_t* write_stretch(PostingSpan postings, std::int32_t previous,
                            std::uint8_t* out) noexcept {
  for (const Posting& posting : postings) {
    out = write_field(wrapping_sub(posting.doc_id, previous), out);
    out = write_field(posting.content_freq, out);
    out = write_field(posting.title_freq, out);
    previous = posting.doc_id;
  }
  return out;
}

}  // namespace

std::uint8_t* write_postings(PostingSpan postings, std::uint8_t* out) noexcept {
  return write_stretch(postings, 0, out);
}

void encode_postings(PostingSpan postings, ByteBuffer& out) {
  // One pass: stretches of postings go through a stack buffer of their worst-case size and are
  // appended from there, so the vector neither zero-fills a worst-case tail nor needs a size pass.
  constexpr std::size_t kStretch = 128;
  std::uint8_t buffer[kStretch * 3 * kMaxVarintBytes];
  std::int32_t previous = 0;
  for (std::size_t start = 0; start < postings.size(); start += kStretch) {
    const PostingSpan stretch = postings.subspan(start, std::min(kStretch, postings.size() - start));
    std::uint8_t* const end = write_stretch(stretch, previous, buffer);
    out.insert(out.end(), buffer, end);
    previous = stretch.back().doc_id;
  }
}

std::size_t count_postings(ByteSpan bytes) noexcept {
  std::size_t last_bytes = 0;
  for (const std::uint8_t byte : bytes) last_bytes += byte < 0x80;
  return last_bytes / 3;
}

namespace {

template <class Out>
DecodeStatus decode_into(ByteSpan bytes, Out& out) {
  const std::uint8_t* const begin = bytes.data();
  const std::uint8_t* const end = begin + bytes.size();
  const std::uint8_t* p = begin;
  std::int32_t previous = 0;
  std::uint64_t fields[3];
  // Far from the end no varint can run past it, so the bounds checks go.
  if (bytes.size() > kUncheckedMargin) {
    const std::uint8_t* const fast_end = end - kUncheckedMargin;
    while (p < fast_end) {
      const std::uint8_t* const start = p;
      if (!decode_unchecked(p, fields[0]) || !decode_unchecked(p, fields[1]) ||
          !decode_unchecked(p, fields[2])) {
        p = start;  // an over-long varint: the checked loop below reports it
        break;
      }
      previous = wrapping_add(previous, static_cast<std::int32_t>(fields[0]));
      out.push_back({previous, static_cast<std::int32_t>(fields[1]),
                     static_cast<std::int32_t>(fields[2])});
    }
  }
  while (p < end) {
    for (std::uint64_t& field : fields) {
      if (p < end && *p < 0x80) {  // most fields are one byte
        field = *p++;
        continue;
      }
      DecodedVarint decoded =
          decode_varint(ByteSpan(p, static_cast<std::size_t>(end - p)));
      if (decoded.status != DecodeStatus::ok) return decoded.status;
      field = decoded.value;
      p += decoded.length;
    }
    previous = wrapping_add(previous, static_cast<std::int32_t>(fields[0]));
    out.push_back({previous, static_cast<std::int32_t>(fields[1]),
                   static_cast<std::int32_t>(fields[2])});
  }
  return DecodeStatus::ok;
}

}  // namespace

DecodeStatus decode_postings_into(ByteSpan bytes, std::vector<Posting>& out) {
  return decode_into(bytes, out);
}

DecodeStatus decode_postings_into(ByteSpan bytes, PostingArray& out) {
  return decode_into(bytes, out);
}

}  // namespace quorbel::encoding
