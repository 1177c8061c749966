// The native steps of merge_posting_lists over arbitrary items, as the module runs them: the
// input is cut into items (a length byte, then that many bytes, repeated), each item in its own
// exactly-sized buffer, decoded one after another into one pool, which is sorted into merge order
// and written at its exact size. Pooling agrees with decoding each item on its own; the merged
// bytes decode to a permutation of the pool in merge order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

#include "encoding/postings.h"
#include "encoding/ranking.h"
#include "fuzz_support.h"

namespace {

using quorbel::Outcome;
using quorbel::encoding::Posting;
using quorbel::encoding::PostingArray;

// The merge order written out plainly: (-(cf + 4 tf), -cf, -tf, doc_id), each wrapped to a signed
// 32-bit value, smallest first.
std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t> merge_key(const Posting& p) {
  auto wrap = [](std::int64_t v) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
  };
  const std::int64_t cf = p.content_freq;
  const std::int64_t tf = p.title_freq;
  return {wrap(-(cf + 4 * tf)), wrap(-cf), wrap(-tf), p.doc_id};
}

bool by_fields(const Posting& a, const Posting& b) {
  return std::tie(a.doc_id, a.content_freq, a.title_freq) <
         std::tie(b.doc_id, b.content_freq, b.title_freq);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::unique_ptr<quorbel::fuzz::ExactCopy>> items;
  for (std::size_t at = 0; at < size;) {
    const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
    items.push_back(std::make_unique<quorbel::fuzz::ExactCopy>(data + at + 1, length));
    at += 1 + length;
  }

  PostingArray pool;  // grown by the decoder, item by item
  std::vector<Posting> expected;
  for (const auto& item : items) {
    const std::size_t before = pool.size();
    const Outcome<> status = quorbel::encoding::decode_postings_into(item->span(), pool);
    FUZZ_CHECK(pool.size() - before <= quorbel::encoding::count_postings(item->span()));
    PostingArray alone;
    FUZZ_CHECK(quorbel::fuzz::same_verdict(
        quorbel::encoding::decode_postings_into(item->span(), alone), status));
    if (!status.ok()) return 0;
    expected.insert(expected.end(), alone.span().begin(), alone.span().end());
    FUZZ_CHECK(
        std::equal(pool.span().begin(), pool.span().end(), expected.begin(), expected.end()));
  }

  quorbel::encoding::sort_merge_order(pool.span());
  const std::size_t merged_size = quorbel::encoding::encoded_size(pool.span());
  std::vector<std::uint8_t> out(merged_size + 1, 0xee);
  FUZZ_CHECK(quorbel::encoding::write_postings(pool.span(), out.data()) ==
             out.data() + merged_size);
  FUZZ_CHECK(out[merged_size] == 0xee);  // nothing written past the counted size
  quorbel::fuzz::ExactCopy merged(out.data(), merged_size);
  PostingArray decoded;
  FUZZ_CHECK(quorbel::encoding::decode_postings_into(merged.span(), decoded).ok());
  // Written in the order the pool was sorted into.
  FUZZ_CHECK(std::equal(decoded.span().begin(), decoded.span().end(), pool.span().begin(),
                        pool.span().end()));
  const auto result = decoded.span();
  for (std::size_t i = 1; i < result.size(); ++i) {
    FUZZ_CHECK(!(merge_key(result[i]) < merge_key(result[i - 1])));
  }
  std::vector<Posting> a(result.begin(), result.end());
  std::vector<Posting> b = expected;
  std::sort(a.begin(), a.end(), by_fields);
  std::sort(b.begin(), b.end(), by_fields);
  FUZZ_CHECK(a == b);  // nothing lost, duplicated or combined
  return 0;
}
