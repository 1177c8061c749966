// A phrase word's positions, read from the mapped positions file for its candidates in ascending
// order (minisearch/positions.py describes the runs): a run is checked and, when its gaps are not
// bytes, decoded once for all the candidates it holds; its postings (from the word's list) place
// each posting's positions in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "phrase_lists.h"

namespace minisearch::kernels {

// Where a document's occurrences of one term are: title positions, then content positions.
struct Places {
  std::vector<std::int64_t> title;
  std::vector<std::int64_t> content;
};

class PositionReader {
 public:
  using Posting = quorbel::encoding::Posting;

  // Checks that the term's runs hold its postings. Throws DamagedEntry (terms.h).
  explicit PositionReader(const PhraseTerm& term);

  TermList& list() noexcept { return list_; }

  // The positions of posting `rank` in the fields wanted (ranks asked in ascending order).
  void read(std::size_t rank, Places& out, bool title, bool content);

  // The gaps between posting `rank`'s places in one field, the first from place 0: bytes or
  // 32-bit words, valid until another rank is asked for (ranks asked in ascending order).
  struct Gaps {
    const std::uint8_t* small = nullptr;
    const std::uint32_t* wide = nullptr;
    std::size_t count = 0;
  };
  Gaps gaps(std::size_t rank, bool title);

 private:
  const Posting& seek(std::size_t rank);  // the run of `rank` loaded, its gaps found
  void load_run_of(std::size_t rank);
  void load_wide_run(bool varints, quorbel::ByteSpan body, std::uint64_t total);
  std::vector<std::uint32_t> varint_gaps(quorbel::ByteSpan body) const;
  std::vector<std::uint32_t> inflated_gaps(quorbel::ByteSpan body, std::uint64_t total);
  void accumulate(std::size_t from, std::size_t count, std::vector<std::int64_t>& out);
  void check_size(std::uint64_t held, std::uint64_t total) const;

  const PhrasePartition* part_;
  TermList list_;
  std::size_t first_run_ = 0;
  std::size_t end_run_ = 0;
  std::size_t run_ = 0;
  bool loaded_ = false;
  std::size_t rank_begin_ = 0;  // the ranks of the run loaded, and its postings
  std::size_t rank_end_ = 0;
  std::span<const Posting> run_postings_;
  const std::uint8_t* small_ = nullptr;  // its gaps as bytes, or null: decoded into wide_
  std::vector<std::uint8_t> raw_;
  std::shared_ptr<const std::vector<std::uint32_t>> wide_;
  std::size_t cursor_rank_ = 0;
  std::size_t cursor_gap_ = 0;
};

}  // namespace minisearch::kernels
