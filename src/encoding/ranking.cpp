#include "encoding/ranking.h"

#include <algorithm>

namespace quorbel::encoding {

namespace {

// The one place where postings are sorted, so that a faster algorithm (a radix sort on the packed
// key) can replace it for both orders at once.
template <class Key>
void sort_by_key(std::span<Posting> postings) noexcept {
  if (postings.size() < 2) return;
  std::sort(postings.begin(), postings.end(), [](const Posting& a, const Posting& b) noexcept {
    return Key::of(a) < Key::of(b);
  });
}

}  // namespace

void sort_ranking_order(std::span<Posting> postings) noexcept { sort_by_key<RankingKey>(postings); }

void sort_merge_order(std::span<Posting> postings) noexcept { sort_by_key<MergeKey>(postings); }

}  // namespace quorbel::encoding
