// decode_postings_into over arbitrary bytes: agrees with a decoder built on decode_varint, never
// reads outside the span, and re-encoding the postings it returns decodes to the same postings.
// Arrays sized by count_postings up front agree, and the exact-size writer round-trips.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "encoding/postings.h"
#include "fuzz_support.h"

namespace {

using quorbel::ByteSpan;
using quorbel::Outcome;
using quorbel::encoding::Posting;
using quorbel::encoding::PostingArray;
using quorbel::encoding::PostingSpan;
using quorbel::fuzz::same_verdict;

// Three varints per posting; every value keeps its low 32 bits; doc ids accumulate from 0 modulo
// 2**32.
Outcome<> model_decode(ByteSpan bytes, std::vector<Posting>& out) {
  std::size_t position = 0;
  std::uint32_t doc_id = 0;
  while (position < bytes.size()) {
    std::uint32_t fields[3];
    for (std::uint32_t& field : fields) {
      auto decoded = quorbel::encoding::decode_varint(bytes.subspan(position));
      if (!decoded.ok()) return std::move(decoded).take_error();
      field = static_cast<std::uint32_t>(decoded->value);
      position += decoded->length;
    }
    doc_id += fields[0];
    out.push_back({static_cast<std::int32_t>(doc_id), static_cast<std::int32_t>(fields[1]),
                   static_cast<std::int32_t>(fields[2])});
  }
  return {};
}

// Whether two sequences are equal element by element.
template <class T>
bool same(std::span<const T> a, std::span<const T> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}
bool same(PostingSpan a, PostingSpan b) { return same<Posting>(a, b); }

// The byte form of `postings` in an exactly-sized heap buffer, written by the module's writer.
quorbel::fuzz::ExactCopy encode(PostingSpan postings) {
  const std::size_t size = quorbel::encoding::encoded_size(postings);
  std::vector<std::uint8_t> buffer(size + 1, 0xee);
  std::uint8_t* end = quorbel::encoding::write_postings(postings, buffer.data());
  FUZZ_CHECK(end == buffer.data() + size);  // exactly the size counted, nothing after it
  FUZZ_CHECK(buffer[size] == 0xee);
  return quorbel::fuzz::ExactCopy(buffer.data(), size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorbel::fuzz::ExactCopy input(data, size);
  const ByteSpan bytes = input.span();

  PostingArray decoded;  // made room for by the decoder
  const Outcome<> status = quorbel::encoding::decode_postings_into(bytes, decoded);
  std::vector<Posting> expected;
  FUZZ_CHECK(same_verdict(status, model_decode(bytes, expected)));
  // On failure both hold the postings decoded before the bad one.
  FUZZ_CHECK(same(decoded.span(), expected));
  FUZZ_CHECK(decoded.size() <= bytes.size() / 3);

  // Appending keeps what `out` already held.
  PostingArray appended(1);
  appended.push_back({1, 2, 3});
  FUZZ_CHECK(same_verdict(quorbel::encoding::decode_postings_into(bytes, appended), status));
  FUZZ_CHECK(appended.size() == decoded.size() + 1);
  FUZZ_CHECK(appended.span()[0] == (Posting{1, 2, 3}));
  FUZZ_CHECK(same(decoded.span(), appended.span().subspan(1)));

  // The count that sizes the arrays bounds what decoding can produce, and is exact for
  // well-formed bytes; an array sized by it up front decodes the same postings.
  const std::size_t counted = quorbel::encoding::count_postings(bytes);
  FUZZ_CHECK(decoded.size() <= counted);
  FUZZ_CHECK(!status.ok() || decoded.size() == counted);
  PostingArray array(counted);
  FUZZ_CHECK(same_verdict(quorbel::encoding::decode_postings_into(bytes, array), status));
  FUZZ_CHECK(same(decoded.span(), array.span()));

  if (!status.ok()) return 0;
  // Round trip: the canonical encoding of the decoded postings decodes to the same postings.
  const quorbel::fuzz::ExactCopy encoded = encode(decoded.span());
  const ByteSpan encoded_bytes = encoded.span();
  FUZZ_CHECK(encoded_bytes.size() >= 3 * decoded.size() &&
             encoded_bytes.size() <= 30 * decoded.size());
  PostingArray again;
  FUZZ_CHECK(quorbel::encoding::decode_postings_into(encoded_bytes, again).ok());
  FUZZ_CHECK(same(again.span(), decoded.span()));
  // Written in two stretches, the second from the doc id before it (as the block writer does),
  // the bytes are the same.
  const PostingSpan all = decoded.span();
  const std::size_t split = all.size() / 2;
  std::vector<std::uint8_t> pieces(encoded_bytes.size() + quorbel::encoding::kMaxPostingBytes);
  std::uint8_t* const middle = quorbel::encoding::write_postings(all.first(split), pieces.data());
  std::uint8_t* const end = quorbel::encoding::write_postings(
      all.subspan(split), middle, split > 0 ? all[split - 1].doc_id : 0);
  FUZZ_CHECK(same<std::uint8_t>(ByteSpan(pieces.data(), end), encoded_bytes));
  // Encoding is a function of the postings: the same list encodes to the same bytes.
  const quorbel::fuzz::ExactCopy twice = encode(again.span());
  FUZZ_CHECK(same<std::uint8_t>(twice.span(), encoded_bytes));
  return 0;
}
