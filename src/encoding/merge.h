// The native half of merge_posting_lists: pooling encoded posting lists and writing the pool in
// merge order.
#pragma once

#include <span>
#include <vector>

#include "encoding/byte_buffer.h"
#include "encoding/postings.h"
#include "encoding/varint.h"

namespace quorbel::encoding {

// Appends the postings of one encoded posting list to `pool`, with doc ids counted from 0 for this
// list alone; equal doc ids are kept as separate postings. Every byte of `item` must belong to a
// complete posting. On failure `pool` may hold part of the item and should be discarded.
DecodeStatus pool_postings(ByteSpan item, std::vector<Posting>& pool);
// The same into a PostingArray with room for count_postings(item) more postings.
DecodeStatus pool_postings(ByteSpan item, PostingArray& pool);

// Sorts `pool` in place into merge order and appends its byte form to `out`.
void encode_merged(std::span<Posting> pool, ByteBuffer& out);

}  // namespace quorbel::encoding
