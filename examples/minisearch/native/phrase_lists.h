// A phrase word's posting list in document order, read no further than a phrase needs: its head
// (the postings of largest impact, in impact order) decoded whole and sorted by document, its
// chunks (document order, each with its first document in the term table) decoded only when a
// look-up or a run of positions falls in them. The number of postings of each chunk, which a
// posting's rank needs, is counted once per open index and kept in the partition's table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "encoding/postings.h"

namespace minisearch::kernels {

// One partition of a segment: its block file with the entries' places, and its positions file
// with the index of its runs. Plain views, checked by the binding for their types and lengths.
struct PhrasePartition {
  quorbel::ByteSpan blocks;
  std::span<const std::int64_t> starts;  // per entry, where it starts and ends in `blocks`
  std::span<const std::int64_t> ends;
  std::span<const std::uint32_t> crcs;  // per entry its CRC-32, or empty: none kept
  std::span<std::uint8_t> unchecked;    // per entry 1 until its CRC-32 is checked (shared)
  std::span<std::uint32_t> counts;      // per entry its postings, 0 until counted (shared)
  std::span<const std::uint32_t> chunk_first_docs;  // per chunk of the table, its first document
  std::int64_t doc_begin = 0;                       // the segment's documents
  std::int64_t doc_end = 0;
  const char* blocks_what = "";  // the block file, for messages
  quorbel::ByteSpan positions;
  std::span<const std::uint32_t> term_runs;   // per term its first run, and the end
  std::span<const std::uint32_t> run_counts;  // per run, postings of its term up to its end
  std::span<const std::uint64_t> run_ends;    // per run, where it ends in `positions`
  const char* positions_what = "";
  std::uint64_t key = 0;  // this partition's files, as long as they are open: no other has it
};

// One term of the phrase: entries head_entry .. head_entry + entries - 1 (its head, then its
// chunks, which are first_chunk onwards in the table's per-chunk arrays) and number `term` in its
// partition's positions.
struct PhraseTerm {
  const PhrasePartition* partition = nullptr;
  std::size_t head_entry = 0;
  std::size_t entries = 0;
  std::size_t term = 0;
  std::size_t first_chunk = 0;
};

[[noreturn]] void damaged_entry(const PhrasePartition& part, std::size_t entry,
                                const std::string& reason);

class TermList {
 public:
  using Posting = quorbel::encoding::Posting;
  using List = std::shared_ptr<const std::vector<Posting>>;

  // Decodes the head and counts the chunks (or takes the list, or its head, decoded lately:
  // list_cache.h). Throws DamagedEntry (terms.h).
  explicit TermList(const PhraseTerm& term);

  std::size_t size() const noexcept {
    return whole_ ? all_->size() : head_->size() + before_.back();
  }

  // The posting of `doc`, or null; `rank` becomes the number of postings before `doc`.
  const Posting* find(std::int32_t doc, std::size_t& rank);

  // The postings of ranks [begin, end) (end at most size()), in document order, valid until the
  // next call.
  std::span<const Posting> ranks(std::size_t begin, std::size_t end);

  // Every posting, in document order (decoded on first use).
  const std::vector<Posting>& all();

  // Decodes every posting now: look-ups and runs then read one array, which costs less than
  // finding the chunks when most of them hold a candidate.
  void read_all();

 private:
  void ranks(std::size_t begin, std::size_t end, std::vector<Posting>& out);
  const std::vector<Posting>& chunk(std::size_t c);
  std::size_t chunk_of(std::int32_t doc) const noexcept;  // chunks() when none can hold it
  std::size_t head_before(std::int32_t doc) const noexcept;
  std::size_t chunk_rank(std::size_t c) const noexcept {  // the rank of chunk c's first posting
    return before_[c] + head_before(static_cast<std::int32_t>(first_docs_[c]));
  }
  std::size_t chunks() const noexcept { return first_docs_.size(); }

  const PhrasePartition& part_;
  std::size_t head_entry_;
  std::span<const std::uint32_t> first_docs_;  // per chunk
  List head_;                                  // by document
  std::vector<std::size_t> before_;            // per chunk, chunk postings before it; the total
  std::vector<List> chunks_;                   // decoded on first use
  List all_;                                   // every posting, once read_all() has run
  bool whole_ = false;
  std::size_t cursor_ = 0;    // in all_, where the last look-up ended
  std::vector<Posting> run_;  // the last ranks() asked for
};

}  // namespace minisearch::kernels
