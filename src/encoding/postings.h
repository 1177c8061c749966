// Postings and the byte form of posting lists (delta-coded varints, no header).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "common/bytes.h"
#include "encoding/varint.h"

namespace quorbel::encoding {

// One document holding a term. All arithmetic on postings wraps modulo 2**32.
struct Posting {
  std::int32_t doc_id;
  std::int32_t content_freq;
  std::int32_t title_freq;

  friend bool operator==(const Posting&, const Posting&) = default;
};

using PostingSpan = std::span<const Posting>;

// a - b modulo 2**32, read as signed.
inline std::int32_t wrapping_sub(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// a + b modulo 2**32, read as signed.
inline std::int32_t wrapping_add(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// The sign-extended 64-bit pattern under which a 32-bit field is stored.
inline std::uint64_t widen(std::int32_t value) noexcept {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(value));
}

// The one container of postings that the codecs fill: a vector whose capacity grows only through
// reserve_more, keeping small lists on the stack: the codecs know their counts up front, and a
// heap allocation would cost a call on a short list as much as its whole encoding.
class PostingArray {
 public:
  explicit PostingArray(std::size_t capacity = 0) { reserve_more(capacity); }
  PostingArray(const PostingArray&) = delete;
  PostingArray& operator=(const PostingArray&) = delete;

  // Makes room for `count` more postings.
  void reserve_more(std::size_t count) {
    if (count <= capacity_ - size_) return;
    const std::size_t capacity = std::max(size_ + count, 2 * capacity_);
    auto heap = std::make_unique_for_overwrite<Posting[]>(capacity);
    std::copy(data_, data_ + size_, heap.get());
    heap_ = std::move(heap);
    data_ = heap_.get();
    capacity_ = capacity;
  }
  bool full() const noexcept { return size_ == capacity_; }
  std::size_t room() const noexcept { return capacity_ - size_; }
  // Only when not full.
  void push_back(const Posting& posting) noexcept { data_[size_++] = posting; }
  // Empties the array, keeping its capacity.
  void clear() noexcept { size_ = 0; }
  std::span<Posting> span() noexcept { return {data_, size_}; }
  std::span<const Posting> span() const noexcept { return {data_, size_}; }
  std::size_t size() const noexcept { return size_; }

  static constexpr std::size_t kInlinePostings = 32;

 private:
  std::array<Posting, kInlinePostings> inline_;
  std::unique_ptr<Posting[]> heap_;
  Posting* data_ = inline_.data();
  std::size_t size_ = 0;
  std::size_t capacity_ = kInlinePostings;
};

// The byte count of the sign-extended varint of a 32-bit field: 1 to 5, or 10 when negative.
// Comparisons rather than a bit scan, so that loops over postings can use vector registers.
inline std::size_t field_length(std::int32_t value) noexcept {
  return 1 + std::size_t{value >= (1 << 7)} + std::size_t{value >= (1 << 14)} +
         std::size_t{value >= (1 << 21)} + std::size_t{value >= (1 << 28)} +
         9 * std::size_t{value < 0};
}

// The byte count of one posting after a posting whose doc id is `previous`.
inline std::size_t posting_length(const Posting& posting, std::int32_t previous) noexcept {
  return field_length(wrapping_sub(posting.doc_id, previous)) + field_length(posting.content_freq) +
         field_length(posting.title_freq);
}

// The exact byte count of the byte form of `postings`.
std::size_t encoded_size(PostingSpan postings) noexcept;

// The longest byte form of one posting: three ten-byte varints.
inline constexpr std::size_t kMaxPostingBytes = 3 * kMaxVarintBytes;

// Writes the byte form of `postings`, in the order given, at `out`, which has room for
// encoded_size(postings) bytes; returns the end. Per posting: the doc-id delta (from `previous`,
// the doc id before the first: 0 at the start of a list), content_freq and title_freq, each
// sign-extended and varint-coded.
std::uint8_t* write_postings(PostingSpan postings, std::uint8_t* out,
                             std::int32_t previous = 0) noexcept;

// The number of postings a well-formed posting-list span holds (a third of its varints, counted
// by their last bytes). For malformed bytes it is a bound on what decoding can produce, so it
// suits reserving capacity, never a check of well-formedness.
std::size_t count_postings(ByteSpan bytes) noexcept;

// Decodes a whole posting-list span, appending to `out` (made room for here when it has less than
// a posting per three bytes). Doc ids count from 0 for this span alone, so spans decoded one after
// another into one array pool their postings. Every byte must belong to a complete posting; on
// failure (a VarintError) `out` holds the postings decoded before it.
Outcome<> decode_postings_into(ByteSpan bytes, PostingArray& out);

}  // namespace quorbel::encoding
