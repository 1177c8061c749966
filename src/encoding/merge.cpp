#include "encoding/merge.h"

#include "encoding/ranking.h"

namespace quorbel::encoding {

DecodeStatus pool_postings(ByteSpan item, std::vector<Posting>& pool) {
  return decode_postings_into(item, pool);
}

DecodeStatus pool_postings(ByteSpan item, PostingArray& pool) {
  return decode_postings_into(item, pool);
}

void encode_merged(std::span<Posting> pool, ByteBuffer& out) {
  sort_merge_order(pool);
  encode_postings(pool, out);
}

}  // namespace quorbel::encoding
