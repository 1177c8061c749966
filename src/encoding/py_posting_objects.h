// Posting lists as Python objects: lists of (doc_id, content_freq, title_freq) tuples.
#pragma once

#include <cstddef>
#include <optional>

#include "binding/error.h"
#include "binding/py_ref.h"
#include "encoding/postings.h"

namespace quorbel::encoding {

// A new list holding one new 3-tuple of ints per posting, in order.
binding::Result<binding::PyRef> postings_to_list(PostingSpan postings);

// A new bytes object holding the byte form of `postings`, written in place at its exact size:
// `size` when the caller has counted it already (encoded_size(postings)), else measured first, so
// no buffer of the worst-case size exists. A short list of unknown size is written once into a
// stack buffer and copied instead.
binding::Result<binding::PyRef> postings_to_bytes(PostingSpan postings,
                                                  std::optional<std::size_t> size = std::nullopt);

// Decodes a posting-list span into a new list of tuples. Python objects are created only after the
// whole span has decoded; malformed bytes give the decoder's ValueError.
binding::Result<binding::PyRef> decode_postings(ByteSpan bytes);

}  // namespace quorbel::encoding
