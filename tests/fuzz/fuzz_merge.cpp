// The native half of merge_posting_lists over arbitrary items: the input is cut into items (a
// length byte, then that many bytes, repeated), each item in its own exactly-sized buffer. Pooling
// agrees with decoding each item on its own; the merged bytes decode to a permutation of the pool
// in merge order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

#include "encoding/merge.h"
#include "encoding/postings.h"
#include "fuzz_support.h"

namespace {

using quorbel::encoding::ByteBuffer;
using quorbel::encoding::DecodeStatus;
using quorbel::encoding::Posting;

// The merge order written out plainly: (-(cf + 4 tf), -cf, -tf, doc_id), each wrapped to a signed
// 32-bit value, smallest first.
std::tuple<std::int32_t, std::int32_t, std::int32_t, std::int32_t> merge_key(const Posting& p) {
  auto wrap = [](std::int64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); };
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

  std::vector<Posting> pool;
  std::vector<Posting> expected;
  quorbel::encoding::PostingArray array(0);  // the fixed-capacity pool, grown item by item
  DecodeStatus status = DecodeStatus::ok;
  for (const auto& item : items) {
    array.reserve_more(quorbel::encoding::count_postings(item->span()));
    const std::size_t before = array.size();
    const DecodeStatus array_status = quorbel::encoding::pool_postings(item->span(), array);
    FUZZ_CHECK(array.size() - before <= quorbel::encoding::count_postings(item->span()));
    status = quorbel::encoding::pool_postings(item->span(), pool);
    FUZZ_CHECK(array_status == status);
    std::vector<Posting> alone;
    const DecodeStatus alone_status = quorbel::encoding::decode_postings_into(item->span(), alone);
    FUZZ_CHECK(alone_status == status);
    if (status != DecodeStatus::ok) break;
    expected.insert(expected.end(), alone.begin(), alone.end());
    FUZZ_CHECK(pool == expected);
  }
  if (status != DecodeStatus::ok) return 0;
  FUZZ_CHECK(std::equal(pool.begin(), pool.end(), array.span().begin(), array.span().end()));

  std::vector<Posting> sorted = pool;
  ByteBuffer out{0xee};  // encode_merged appends
  quorbel::encoding::encode_merged(sorted, out);
  FUZZ_CHECK(out.front() == 0xee);
  quorbel::fuzz::ExactCopy merged(out.data() + 1, out.size() - 1);
  std::vector<Posting> decoded;
  FUZZ_CHECK(quorbel::encoding::decode_postings_into(merged.span(), decoded) == DecodeStatus::ok);
  FUZZ_CHECK(decoded == sorted);  // written in the order the pool was sorted into
  for (std::size_t i = 1; i < decoded.size(); ++i) {
    FUZZ_CHECK(!(merge_key(decoded[i]) < merge_key(decoded[i - 1])));
  }
  std::vector<Posting> a = decoded;
  std::vector<Posting> b = pool;
  std::sort(a.begin(), a.end(), by_fields);
  std::sort(b.begin(), b.end(), by_fields);
  FUZZ_CHECK(a == b);  // nothing lost, duplicated or combined
  return 0;
}
