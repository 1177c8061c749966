// The postings of a phrase in one segment: the documents that hold its words next to each other,
// in this order, within one field, with the number of such places per field. The words' posting
// lists are decoded in place from the mapped block files and their positions read from the mapped
// positions files (minisearch/positions.py describes the runs). The same answer as
// minisearch.phrases, which stays as the pure-Python path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "encoding/postings.h"

namespace minisearch::kernels {

// One partition of a segment: its block file with the entries' places, and its positions file
// with the index of its runs. Plain views, checked by the binding for their types only.
struct PhrasePartition {
  quorbel::ByteSpan blocks;
  std::span<const std::int64_t> starts;  // per entry, where it starts and ends in `blocks`
  std::span<const std::int64_t> ends;
  std::span<const std::uint32_t> crcs;  // per entry its CRC-32, or empty: none kept
  std::span<std::uint8_t> unchecked;    // per entry 1 until its CRC-32 is checked (shared)
  std::int64_t doc_begin = 0;           // the segment's documents
  std::int64_t doc_end = 0;
  std::string blocks_what;  // the block file, for messages
  quorbel::ByteSpan positions;
  std::span<const std::uint32_t> term_runs;   // per term its first run, and the end
  std::span<const std::uint32_t> run_counts;  // per run, postings of its term up to its end
  std::span<const std::uint64_t> run_ends;    // per run, where it ends in `positions`
  std::string positions_what;
};

// One term of the phrase: entries head_entry .. head_entry + entries - 1 (its head, then its
// chunks) and number `term` in its partition's positions.
struct PhraseTerm {
  const PhrasePartition* partition = nullptr;
  std::size_t head_entry = 0;
  std::size_t entries = 0;
  std::size_t term = 0;
};

enum class FieldFilter : std::uint8_t { none = 0, title = 1, content = 2 };

struct PhraseQuery {
  std::vector<PhraseTerm> terms;
  // Per word of the phrase, the terms (indexes into `terms`) that stand for it: one, or the
  // expansions of a prefix; a term may stand for several words ("a a").
  std::vector<std::vector<std::size_t>> words;
  std::span<const std::int32_t> deleted;  // ascending: documents left out
  FieldFilter field = FieldFilter::none;
};

// The phrase's postings (doc_id, content occurrences, title occurrences), in document order,
// without the deleted documents and without those that hold it nowhere (in `field`, with one).
// Throws DamagedEntry (terms.h) for a damaged entry or positions run.
std::vector<quorbel::encoding::Posting> phrase_postings(const PhraseQuery& query);

}  // namespace minisearch::kernels
