// One scoring term of a query as the kernels read it: its head and chunks in a mapped block file
// (or its postings given whole), decoded on first use with quorbel's posting decoder, each posting
// scored as it is decoded.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "encoding/postings.h"
#include "scoring.h"

namespace minisearch::kernels {

using quorbel::ByteSpan;
using quorbel::encoding::Posting;

// A damaged entry: its postings cannot be read, or name documents its segment lacks.
class DamagedEntry : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A document id beyond the norms the caller gave.
class BeyondNorms : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

// One entry (the head or a chunk) of a term in its block file.
struct EntrySlice {
  std::size_t start = 0;
  std::size_t end = 0;
  std::uint32_t crc = 0;
  // The partition's flag for this entry: 1 until its CRC-32 has been checked; nullptr when the
  // term table keeps no CRC-32. Cleared once checked (read and written with relaxed atomics:
  // other threads may check the same entry).
  std::uint8_t* unchecked = nullptr;
};

// What a term is, as given: plain values, checked by the binding.
struct TermData {
  double weight = 0.0;
  ByteSpan file;                    // the mapped block file, empty for a term given as postings
  std::vector<EntrySlice> entries;  // [0] the head, [j] chunk j (when `file` is set)
  std::vector<Posting> given_head;  // the head of a term given as postings
  std::vector<std::int32_t> first_docs;  // per chunk: its first document
  std::vector<std::int64_t> max_f;       // per chunk: its largest F
  std::vector<double> impacts;           // per chunk: a bound of its impacts F*(K1+1)/(F+norm)
  bool head_in_impact_order = false;     // the head is largest impact first (at today's length)
  // Above 0: the head is largest impact first at an average length tier_ratio times today's, at
  // which a document's norm was norm_constant + (today's norm - norm_constant) / tier_ratio.
  double tier_ratio = 0.0;
  double norm_constant = 0.0;
  std::int64_t doc_begin = 0;  // the documents of the term's segment
  std::int64_t doc_end = 0;
  std::string what;  // the block file, for messages
};

struct Stats {
  std::uint64_t postings_decoded = 0;
  std::uint64_t postings_scored = 0;
  std::uint64_t chunks_decoded = 0;
  std::uint64_t documents_checked = 0;
};

// A posting's document and its weighted frequency F, as decoded: scored only when needed (a
// division a posting).
struct Counted {
  std::int32_t doc;
  std::int64_t frequency;
};

// A posting's document and its score for the term.
struct Scored {
  std::int32_t doc;
  double score;
};

class Term {
 public:
  Term(const TermData& data, std::span<const double> norms, const Ranking& ranking, Stats& stats);

  double weight() const noexcept { return data_.weight; }
  std::size_t chunks() const noexcept { return data_.first_docs.size(); }
  bool head_in_impact_order() const noexcept { return data_.head_in_impact_order; }
  // Whether the head is in impact order at another average length (stale_bound applies).
  bool head_in_stale_order() const noexcept { return data_.tier_ratio > 0.0; }
  // Bytes of postings, a measure of the term's length.
  std::size_t size() const noexcept;

  // The head, scored, in document order.
  const std::vector<Scored>& head();
  // Calls visit(posting, score) for each posting of the head in stored order, scored, while it
  // returns true (the head is decoded one posting at a time).
  template <class Visit>
  void scan_head(Visit visit);
  // The head's largest score.
  double head_max();

  // The chunk that would hold `doc`, or -1.
  std::ptrdiff_t chunk_of(std::int32_t doc) const noexcept;
  // weight * the chunk's largest impact: a bound of every score in it.
  double chunk_bound(std::size_t chunk) const noexcept {
    return data_.weight * data_.impacts[chunk];
  }
  // The lower of chunk_bound and the score of the chunk's largest F at `doc`'s length.
  double doc_bound(std::size_t chunk, std::int32_t doc) const;
  double max_chunk_bound() const noexcept { return max_chunk_bound_; }
  bool chunk_decoded(std::size_t chunk) const noexcept { return decoded_[chunk] != 0; }
  // Chunk `chunk`, in document order, decoded on first use.
  const std::vector<Counted>& chunk(std::size_t chunk);
  // The score of a posting of this term.
  double score(const Counted& posting);
  // For a head in stale order: a bound of the score of `posting` and of every posting after it
  // in the head (their impacts at the older length were at most its).
  double stale_bound(const Counted& posting) const;

  // The score of `doc` in the head, if there.
  std::optional<double> in_head(std::int32_t doc);
  // The score of `doc` in (decoded) chunk `chunk`, if there.
  std::optional<double> in_chunk(std::size_t chunk, std::int32_t doc);

  double norm(std::int32_t doc) const;

 private:
  ByteSpan entry_bytes(std::size_t entry) const;
  void decode(std::size_t entry, std::vector<Counted>& out);
  template <class Visit>
  void decode_each(std::size_t entry, Visit visit);
  // Throws for a document outside the segment (DamagedEntry) or beyond the norms (BeyondNorms).
  [[noreturn]] void refuse_document(std::size_t entry, std::int32_t doc) const;
  [[noreturn]] void damaged(std::size_t entry, const std::string& reason) const;
  static std::string varint_error_text(const quorbel::Failure& failure);

  const TermData& data_;
  std::span<const double> norms_;
  const Ranking& ranking_;
  Stats& stats_;
  std::vector<Scored> head_;
  bool head_ready_ = false;
  double head_max_ = kNegativeInfinity;
  std::vector<std::vector<Counted>> chunks_;
  std::vector<std::uint8_t> decoded_;
  double max_chunk_bound_ = 0.0;
};

template <class Visit>
void Term::scan_head(Visit visit) {
  if (data_.file.empty()) {
    for (const Posting& posting : data_.given_head) {
      const Counted counted{posting.doc_id,
                            weighted_frequency(posting.content_freq, posting.title_freq, ranking_)};
      norm(posting.doc_id);  // in range, or BeyondNorms
      ++stats_.postings_decoded;
      if (!visit(counted, score(counted))) return;
    }
    return;
  }
  decode_each(0, [&](const Counted& posting) { return visit(posting, score(posting)); });
}

template <class Visit>
void Term::decode_each(std::size_t entry, Visit visit) {
  // quorbel's varint decoder, a posting at a time (a head read from its front may stop early),
  // each document checked against the segment and the norms as it comes.
  const ByteSpan bytes = entry_bytes(entry);
  const std::int64_t low = std::max<std::int64_t>(data_.doc_begin, 0);
  const std::int64_t high =
      std::min<std::int64_t>(data_.doc_end, static_cast<std::int64_t>(norms_.size()));
  std::size_t at = 0;
  std::int32_t doc = 0;
  while (at < bytes.size()) {
    std::uint64_t fields[3];
    for (std::uint64_t& field : fields) {
      const auto decoded = quorbel::encoding::decode_varint(bytes.subspan(at));
      if (!decoded.ok()) damaged(entry, varint_error_text(decoded.error()));
      field = decoded->value;
      at += decoded->length;
    }
    doc = quorbel::encoding::wrapping_add(doc, static_cast<std::int32_t>(fields[0]));
    if (doc < low || doc >= high) refuse_document(entry, doc);
    ++stats_.postings_decoded;
    const Counted posting{doc, weighted_frequency(static_cast<std::int32_t>(fields[1]),
                                                  static_cast<std::int32_t>(fields[2]), ranking_)};
    if (!visit(posting)) return;
  }
}

}  // namespace minisearch::kernels
