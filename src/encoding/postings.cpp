#include "encoding/postings.h"

namespace quorbel::encoding {

void encode_postings(PostingSpan postings, ByteBuffer& out) {
  std::int32_t previous = 0;
  for (const Posting& posting : postings) {
    // Reserve the worst case for this posting, then write in place without per-byte checks.
    const std::size_t used = out.size();
    out.resize(used + 3 * kMaxVarintBytes);
    std::uint8_t* cursor = out.data() + used;
    cursor = write_varint(widen(wrapping_sub(posting.doc_id, previous)), cursor);
    cursor = write_varint(widen(posting.content_freq), cursor);
    cursor = write_varint(widen(posting.title_freq), cursor);
    out.resize(static_cast<std::size_t>(cursor - out.data()));
    previous = posting.doc_id;
  }
}

DecodeStatus decode_postings_into(ByteSpan bytes, std::vector<Posting>& out) {
  std::size_t position = 0;
  std::int32_t previous = 0;
  std::uint32_t fields[3];
  while (position < bytes.size()) {
    for (std::uint32_t& field : fields) {
      DecodedVarint decoded = decode_varint(bytes.subspan(position));
      if (decoded.status != DecodeStatus::ok) return decoded.status;
      field = static_cast<std::uint32_t>(decoded.value);
      position += decoded.length;
    }
    previous = wrapping_add(previous, static_cast<std::int32_t>(fields[0]));
    out.push_back({previous, static_cast<std::int32_t>(fields[1]), static_cast<std::int32_t>(fields[2])});
  }
  return DecodeStatus::ok;
}

}  // namespace quorbel::encoding
