#include "encoding/ranking.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <utility>

namespace quorbel::encoding {

namespace {

// The sort is an in-place most-significant-digit radix sort (an "American flag" sort) on the four
// 32-bit words of the packed key, falling back to std::sort for small ranges.
//
// Why this shape: real posting lists have few distinct scores and frequencies, so the first three
// words of the key take a handful of values and the doc ids spread over at most ~24 bits. For each
// word the sort first finds the smallest and largest value in the range; a word that does not vary
// costs one pass and no moves, and a word that does is split on its highest 8 varying bits, so a
// word of a few dozen distinct values is settled in one distribution. Each distribution is two
// passes (histogram, then cycle-leader swaps in place), so the sort needs no scratch buffer: the
// merge pools up to millions of postings and may not double its memory for sorting.
//
// Stack use is bounded whatever the keys, so that the sort runs in the smallest thread stack
// Python allows (32 KiB): the histogram tables live only while one range is distributed, and the
// recursion into its buckets keeps no table but finds each bucket's end by a galloping search over
// the digits, which are in order by then. A level's frame is a few words, and there are at most 16
// levels (four 8-bit digits in each of the four 32-bit words).

constexpr unsigned kDigitBits = 8;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
// Below this many postings a comparison sort wins over another histogram.
constexpr std::size_t kComparisonSortLimit = 64;

template <class Key, int kWord>
std::uint32_t key_word(const Posting& posting) noexcept {
  const Key key = Key::of(posting);
  if constexpr (kWord == 0) return static_cast<std::uint32_t>(key.high >> 32);
  if constexpr (kWord == 1) return static_cast<std::uint32_t>(key.high);
  if constexpr (kWord == 2) return static_cast<std::uint32_t>(key.low >> 32);
  if constexpr (kWord == 3) return static_cast<std::uint32_t>(key.low);
}

// The packed key as one unsigned 128-bit number, so that comparing two keys is a subtraction with
// borrow rather than a branch.
__extension__ using Key128 = unsigned __int128;

template <class Key>
Key128 packed(const Posting& posting) noexcept {
  const Key key = Key::of(posting);
  return (Key128{key.high} << 64) | key.low;
}

// Sorts up to kRankSortLimit postings by counting, for each, the keys that must precede it: n*n
// comparisons without a single data-dependent branch, which beats any branching sort on the
// short lists that make up most calls. Equal keys are identical postings, so ties may go either
// way as long as every position is taken once.
constexpr std::size_t kRankSortLimit = 8;

template <class Key>
void rank_sort(std::span<Posting> postings) noexcept {
  const std::size_t n = postings.size();
  Key128 keys[kRankSortLimit];
  Posting copies[kRankSortLimit];
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = packed<Key>(postings[i]);
    copies[i] = postings[i];
  }
  for (std::size_t i = 0; i < n; ++i) {
    // Earlier postings go before on ties, later ones only when strictly smaller.
    std::size_t rank = 0;
    for (std::size_t j = 0; j < i; ++j) rank += static_cast<std::size_t>(!(keys[i] < keys[j]));
    for (std::size_t j = i + 1; j < n; ++j) rank += static_cast<std::size_t>(keys[j] < keys[i]);
    postings[rank] = copies[i];
  }
}

template <class Key>
void comparison_sort(std::span<Posting> postings) noexcept {
  if (postings.size() <= kRankSortLimit) {
    rank_sort<Key>(postings);
    return;
  }
  std::sort(postings.begin(), postings.end(),
            [](const Posting& a, const Posting& b) noexcept { return Key::of(a) < Key::of(b); });
}

// One digit of word kWord: (word - low) >> shift, always below kBuckets.
template <class Key, int kWord>
struct Digit {
  std::uint32_t low;
  unsigned shift;
  std::size_t operator()(const Posting& posting) const noexcept {
    return (key_word<Key, kWord>(posting) - low) >> shift;
  }
};

// Moves every posting into its digit's bucket, in place, so that the digits ascend. Never inlined:
// its tables must leave the stack before the caller recurses into the buckets.
template <class Key, int kWord>
[[gnu::noinline]] void distribute(std::span<Posting> postings, Digit<Key, kWord> digit,
                                  std::size_t buckets) noexcept {
  std::array<std::size_t, kBuckets> counts{};
  for (const Posting& posting : postings) ++counts[digit(posting)];
  std::array<std::size_t, kBuckets> next;
  std::array<std::size_t, kBuckets + 1> bounds;
  bounds[0] = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    next[b] = bounds[b];
    bounds[b + 1] = bounds[b] + counts[b];
  }
  // Cycle leader: take the first misplaced posting of bucket b, drop it where it belongs, pick up
  // what was there, and so on until something that belongs to b comes back.
  for (std::size_t b = 0; b < buckets; ++b) {
    const std::size_t end = bounds[b + 1];
    while (next[b] < end) {
      Posting carried = postings[next[b]];
      std::size_t d = digit(carried);
      while (d != b) {
        std::swap(carried, postings[next[d]++]);
        d = digit(carried);
      }
      postings[next[b]++] = carried;
    }
  }
}

// The end of the bucket that starts at `begin`, in a range whose digits ascend: a galloping
// search, so a bucket of n postings costs about 2 log2(n) digits, not n.
template <class Key, int kWord>
std::size_t bucket_end(std::span<const Posting> postings, std::size_t begin,
                       Digit<Key, kWord> digit) noexcept {
  const std::size_t d = digit(postings[begin]);
  std::size_t inside = begin;  // known to hold digit d
  std::size_t step = 1;
  while (step < postings.size() - begin && digit(postings[begin + step]) == d) {
    inside = begin + step;
    step *= 2;
  }
  std::size_t outside = std::min(begin + step, postings.size());  // beyond the bucket, or the end
  while (outside - inside > 1) {
    const std::size_t middle = inside + (outside - inside) / 2;
    if (digit(postings[middle]) == d) {
      inside = middle;
    } else {
      outside = middle;
    }
  }
  return outside;
}

template <class Key, int kWord>
void radix_sort(std::span<Posting> postings) noexcept {
  if constexpr (kWord == 4) {
    return;  // every word equal: the postings are identical
  } else {
    if (postings.size() <= kComparisonSortLimit) {
      comparison_sort<Key>(postings);
      return;
    }
    std::uint32_t low = key_word<Key, kWord>(postings[0]);
    std::uint32_t high = low;
    for (const Posting& posting : postings) {
      const std::uint32_t word = key_word<Key, kWord>(posting);
      low = std::min(low, word);
      high = std::max(high, word);
    }
    if (low == high) {
      radix_sort<Key, kWord + 1>(postings);
      return;
    }
    const auto width = static_cast<unsigned>(std::bit_width(high - low));
    const unsigned shift = width > kDigitBits ? width - kDigitBits : 0;
    const Digit<Key, kWord> digit{low, shift};
    const std::size_t bucket_count = (static_cast<std::size_t>(high - low) >> shift) + 1;
    distribute(postings, digit, bucket_count);
    for (std::size_t begin = 0, end = 0; begin < postings.size(); begin = end) {
      end = bucket_end(std::span<const Posting>(postings), begin, digit);
      std::span<Posting> bucket = postings.subspan(begin, end - begin);
      if (bucket.size() < 2) continue;
      // With shift 0 the bucket shares this whole word; otherwise its low bits still differ.
      if (shift == 0) {
        radix_sort<Key, kWord + 1>(bucket);
      } else {
        radix_sort<Key, kWord>(bucket);
      }
    }
  }
}

// The one place where postings are sorted, for both orders.
template <class Key>
void sort_by_key(std::span<Posting> postings) noexcept {
  if (postings.size() < 2) return;
  radix_sort<Key, 0>(postings);
}

}  // namespace

void sort_ranking_order(std::span<Posting> postings) noexcept { sort_by_key<RankingKey>(postings); }

void sort_merge_order(std::span<Posting> postings) noexcept { sort_by_key<MergeKey>(postings); }

}  // namespace quorbel::encoding
