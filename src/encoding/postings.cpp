#include "encoding/postings.h"

namespace quorbel::encoding {

std::size_t encoded_size(PostingSpan postings) noexcept {
  std::size_t size = 0;
  std::int32_t previous = 0;
  for (const Posting& posting : postings) {
    size += posting_length(posting, previous);
    previous = posting.doc_id;
  }
  return size;
}

std::uint8_t* write_postings(PostingSpan postings, std::uint8_t* out,
                             std::int32_t previous) noexcept {
  for (const Posting& posting : postings) {
    out = write_varint(widen(wrapping_sub(posting.doc_id, previous)), out);
    out = write_varint(widen(posting.content_freq), out);
    out = write_varint(widen(posting.title_freq), out);
    previous = posting.doc_id;
  }
  return out;
}

std::size_t count_postings(ByteSpan bytes) noexcept {
  std::size_t last_bytes = 0;
  for (const std::uint8_t byte : bytes) last_bytes += byte < 0x80;
  return last_bytes / 3;
}

Outcome<> decode_postings_into(ByteSpan bytes, PostingArray& out) {
  // A posting takes at least three bytes, so with that much room the exact count is not needed.
  if (out.room() < bytes.size() / 3) out.reserve_more(count_postings(bytes));
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  std::int32_t previous = 0;
  while (p < end) {
    std::uint64_t fields[3];
    for (std::uint64_t& field : fields) {
      QUORBEL_ASSIGN_OR_RETURN(const DecodedVarint decoded,
                               decode_varint(ByteSpan(p, static_cast<std::size_t>(end - p))));
      field = decoded.value;
      p += decoded.length;
    }
    previous = wrapping_add(previous, static_cast<std::int32_t>(fields[0]));
    out.push_back(
        {previous, static_cast<std::int32_t>(fields[1]), static_cast<std::int32_t>(fields[2])});
  }
  return {};
}

}  // namespace quorbel::encoding
