// The two orders that posting lists are written in: the ranking order of encode_posting_list
// (content + title frequency) and the merge order (a title occurrence counts four times).
#pragma once

#include <cstdint>
#include <span>

#include "encoding/postings.h"

namespace quorbel::encoding {

// Sort key of a posting under title weight w: (-(cf + w*tf), -cf, -tf, doc_id), every component
// computed modulo 2**32 and compared as a signed 32-bit value, smallest key first. With w = 1,
// equal first and second components already imply equal title frequencies; with w = 4 they do not
// (4*tf wraps), which is why the title frequency stays in the key. Equal keys mean identical
// postings, so the result of a sort does not depend on its stability.
template <std::uint32_t kTitleWeight>
struct PostingKey {
  // Each signed component is stored with its sign bit flipped, so that unsigned comparison of the
  // packed words is signed comparison of the components.
  std::uint64_t high;  // first component, then second
  std::uint64_t low;   // third component, then doc_id

  static PostingKey of(const Posting& posting) noexcept {
    constexpr std::uint32_t kSignBit = 0x8000'0000u;
    const auto content = static_cast<std::uint32_t>(posting.content_freq);
    const auto title = static_cast<std::uint32_t>(posting.title_freq);
    const std::uint32_t score = content + kTitleWeight * title;
    const std::uint32_t k1 = (0u - score) ^ kSignBit;
    const std::uint32_t k2 = (0u - content) ^ kSignBit;
    const std::uint32_t k3 = (0u - title) ^ kSignBit;
    const std::uint32_t k4 = static_cast<std::uint32_t>(posting.doc_id) ^ kSignBit;
    return {(std::uint64_t{k1} << 32) | k2, (std::uint64_t{k3} << 32) | k4};
  }

  friend bool operator<(const PostingKey& a, const PostingKey& b) noexcept {
    // A select rather than && / ||, so that compilers emit a conditional move, not a branch that
    // mispredicts on every other comparison.
    return a.high != b.high ? a.high < b.high : a.low < b.low;
  }
};

using RankingKey = PostingKey<1>;
using MergeKey = PostingKey<4>;

// Sorts in place into ranking order: content_freq + title_freq descending, then content_freq
// descending, then doc_id ascending (all with 32-bit wrap-around). Allocates nothing.
void sort_ranking_order(std::span<Posting> postings) noexcept;

// Sorts in place into merge order: content_freq + 4 * title_freq descending, then content_freq,
// then title_freq descending, then doc_id ascending (all with 32-bit wrap-around). Allocates
// nothing.
void sort_merge_order(std::span<Posting> postings) noexcept;

}  // namespace quorbel::encoding
