// Posting lists as Python objects: lists of (doc_id, content_freq, title_freq) tuples.
#pragma once

#include "binding/error.h"
#include "binding/py_ref.h"
#include "encoding/postings.h"

namespace quorbel::encoding {

// A new list holding one new 3-tuple of ints per posting, in order.
binding::Result<binding::PyRef> postings_to_list(PostingSpan postings);

// A new bytes object holding the byte form of `postings`, written in place; `size` is
// encoded_size(postings), which callers often know already.
binding::Result<binding::PyRef> postings_to_bytes(PostingSpan postings, std::size_t size);

// Decodes a posting-list span into a new list of tuples. Python objects are created only after the
// whole span has decoded; malformed bytes give the decoder's ValueError.
binding::Result<binding::PyRef> decode_postings(ByteSpan bytes);

}  // namespace quorbel::encoding
