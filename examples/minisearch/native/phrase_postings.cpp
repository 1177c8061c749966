#include "phrase_postings.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <utility>

#include "crc32.h"
#include "terms.h"

namespace minisearch::kernels {
namespace {

using quorbel::ByteSpan;
using quorbel::encoding::Posting;

constexpr std::size_t kMagicSize = 4;  // b"MSP1" starts a positions file
constexpr std::uint8_t kSmallRun = 0;  // a run's gaps as bytes
constexpr std::uint8_t kWideRun = 1;   // a run's gaps as deflated little-endian 32-bit words

[[noreturn]] void damaged_entry(const PhrasePartition& part, std::size_t entry,
                                const std::string& reason) {
  const std::int64_t start = entry < part.starts.size() ? part.starts[entry] : -1;
  throw DamagedEntry(part.blocks_what + ": the entry at byte " + std::to_string(start) +
                     " is damaged: " + reason);
}

[[noreturn]] void damaged_positions(const PhrasePartition& part, const std::string& reason) {
  throw DamagedEntry(part.positions_what + ": " + reason);
}

// The bytes of an entry, its CRC-32 checked on first use.
ByteSpan entry_bytes(const PhrasePartition& part, std::size_t entry) {
  const std::int64_t start = part.starts[entry];
  const std::int64_t end = part.ends[entry];
  if (start < 0 || end < start || static_cast<std::uint64_t>(end) > part.blocks.size())
    damaged_entry(part, entry, "it lies outside the file");
  const ByteSpan bytes = part.blocks.subspan(static_cast<std::size_t>(start),
                                             static_cast<std::size_t>(end - start));
  if (!part.crcs.empty()) {
    std::atomic_ref<std::uint8_t> flag(part.unchecked[entry]);
    if (flag.load(std::memory_order_relaxed) != 0) {
      if (crc32(bytes) != part.crcs[entry])
        damaged_entry(part, entry, "its CRC-32 is not the term table's");
      flag.store(0, std::memory_order_relaxed);
    }
  }
  return bytes;
}

// Appends an entry's postings, each document checked against the segment.
void decode_entry(const PhrasePartition& part, std::size_t entry, std::vector<Posting>& out) {
  const ByteSpan bytes = entry_bytes(part, entry);
  std::size_t at = 0;
  std::int32_t doc = 0;
  while (at < bytes.size()) {
    std::uint64_t fields[3];
    for (std::uint64_t& field : fields) {
      const auto decoded = quorbel::encoding::decode_varint(bytes.subspan(at));
      if (!decoded.ok()) damaged_entry(part, entry, "Invalid varint encoding");
      field = decoded->value;
      at += decoded->length;
    }
    doc = quorbel::encoding::wrapping_add(doc, static_cast<std::int32_t>(fields[0]));
    const auto content = static_cast<std::int32_t>(fields[1]);
    const auto title = static_cast<std::int32_t>(fields[2]);
    if (doc < part.doc_begin || doc >= part.doc_end) {
      damaged_entry(part, entry, "it names documents outside " + std::to_string(part.doc_begin) +
                                     ".." + std::to_string(part.doc_end - 1));
    }
    if (content < 0 || title < 0) damaged_entry(part, entry, "a frequency is negative");
    out.push_back({doc, content, title});
  }
}

bool by_doc(const Posting& a, const Posting& b) noexcept { return a.doc_id < b.doc_id; }

// Every posting of a term in document order: its head (in impact order) merged into its chunks.
std::vector<Posting> term_postings(const PhraseTerm& term) {
  const PhrasePartition& part = *term.partition;
  std::vector<Posting> head;
  decode_entry(part, term.head_entry, head);
  std::sort(head.begin(), head.end(), by_doc);
  std::vector<Posting> chunks;
  for (std::size_t entry = term.head_entry + 1; entry < term.head_entry + term.entries; ++entry) {
    const std::size_t before = chunks.size();
    decode_entry(part, entry, chunks);
    for (std::size_t i = std::max<std::size_t>(before, 1); i < chunks.size(); ++i) {
      if (chunks[i].doc_id <= chunks[i - 1].doc_id)
        damaged_entry(part, entry, "its documents are out of order");
    }
  }
  std::vector<Posting> all(head.size() + chunks.size());
  std::merge(head.begin(), head.end(), chunks.begin(), chunks.end(), all.begin(), by_doc);
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (all[i].doc_id == all[i - 1].doc_id)
      damaged_entry(part, term.head_entry, "a document is in it twice");
  }
  return all;
}

// The first posting from `from` on whose document is `doc` or later: a gallop, then a bisection.
std::vector<Posting>::const_iterator seek(std::vector<Posting>::const_iterator from,
                                          std::vector<Posting>::const_iterator end, std::int32_t doc) {
  std::ptrdiff_t step = 1;
  auto low = from;
  while (from != end && from->doc_id < doc) {
    low = from + 1;
    from = end - from > step ? from + step : end;
    step *= 2;
  }
  return std::lower_bound(low, from, Posting{doc, 0, 0}, by_doc);
}

// Where a document's occurrences of one term are: title positions, then content positions.
struct Places {
  std::vector<std::int64_t> title;
  std::vector<std::int64_t> content;
};

// Reads a term's positions for postings in ascending order, a run decoded once.
class PositionReader {
 public:
  PositionReader(const PhraseTerm& term, std::vector<Posting> postings)
      : part_(*term.partition), postings_(std::move(postings)) {
    const PhrasePartition& part = part_;
    first_run_ = part.term_runs[term.term];
    end_run_ = part.term_runs[term.term + 1];
    if (first_run_ > end_run_ || end_run_ > part.run_counts.size())
      damaged_positions(part, "its index does not match its runs");
    const std::size_t held = end_run_ > first_run_ ? part.run_counts[end_run_ - 1] : 0;
    if (held != postings_.size()) {
      damaged_positions(part, "a term's runs hold " + std::to_string(held) +
                                  " postings, its posting list " +
                                  std::to_string(postings_.size()));
    }
    run_ = first_run_;
  }

  const std::vector<Posting>& postings() const noexcept { return postings_; }

  // The rank of `doc` among the postings, found from the last one looked up (documents come in
  // ascending order), or -1.
  std::ptrdiff_t find(std::int32_t doc) {
    const std::vector<Posting>& postings = postings_;
    const auto found = seek(postings.begin() + static_cast<std::ptrdiff_t>(lookup_), postings.end(), doc);
    lookup_ = static_cast<std::size_t>(found - postings_.begin());
    if (found == postings.end() || found->doc_id != doc) return -1;
    return found - postings.begin();
  }

  // The positions of posting `rank` (ranks asked in ascending order).
  void read(std::size_t rank, Places& out) {
    if (!loaded_ || rank >= rank_end_) load_run_of(rank);
    while (cursor_rank_ < rank) {
      const Posting& p = postings_[cursor_rank_++];
      cursor_gap_ += static_cast<std::size_t>(p.title_freq) + static_cast<std::size_t>(p.content_freq);
    }
    const Posting& p = postings_[rank];
    accumulate(cursor_gap_, static_cast<std::size_t>(p.title_freq), out.title);
    accumulate(cursor_gap_ + static_cast<std::size_t>(p.title_freq),
               static_cast<std::size_t>(p.content_freq), out.content);
  }

 private:
  void accumulate(std::size_t from, std::size_t count, std::vector<std::int64_t>& out) const {
    out.resize(count);
    std::int64_t position = 0;
    std::int64_t* into = out.data();
    if (wide_.empty()) {
      const std::uint8_t* gaps = small_ + from;
      for (std::size_t i = 0; i < count; ++i) into[i] = position += gaps[i];
    } else {
      const std::uint32_t* gaps = wide_.data() + from;
      for (std::size_t i = 0; i < count; ++i) into[i] = position += gaps[i];
    }
  }

  void load_run_of(std::size_t rank) {
    const PhrasePartition& part = part_;
    const auto counts = part.run_counts.subspan(run_, end_run_ - run_);
    run_ += static_cast<std::size_t>(
        std::upper_bound(counts.begin(), counts.end(), static_cast<std::uint32_t>(rank)) -
        counts.begin());
    if (run_ >= end_run_) damaged_positions(part, "its index does not match its runs");
    rank_begin_ = run_ > first_run_ ? part.run_counts[run_ - 1] : 0;
    rank_end_ = part.run_counts[run_];
    if (rank_begin_ >= rank_end_ || rank_end_ > postings_.size())
      damaged_positions(part, "its index does not match its runs");
    std::uint64_t total = 0;
    for (std::size_t r = rank_begin_; r < rank_end_; ++r)
      total += static_cast<std::uint64_t>(postings_[r].title_freq) +
               static_cast<std::uint64_t>(postings_[r].content_freq);
    const std::uint64_t start = run_ > 0 ? part.run_ends[run_ - 1] : kMagicSize;
    const std::uint64_t end = part.run_ends[run_];
    if (start < kMagicSize || end <= start || end > part.positions.size())
      damaged_positions(part, "its index does not match its runs");
    const ByteSpan bytes = part.positions.subspan(start, end - start);
    const ByteSpan body = bytes.subspan(1);
    wide_.clear();
    if (bytes[0] == kSmallRun) {
      small_ = body.data();
      check_size(body.size(), total);
    } else if (bytes[0] == kWideRun) {
      inflate_run(body, total);
    } else {
      damaged_positions(part, "a run of an unknown kind");
    }
    cursor_rank_ = rank_begin_;
    cursor_gap_ = 0;
    loaded_ = true;
  }

  void check_size(std::uint64_t held, std::uint64_t total) const {
    if (held != total) {
      damaged_positions(part_, "a run holds " + std::to_string(held) + " positions, its postings " +
                                   std::to_string(total));
    }
  }

  void inflate_run(ByteSpan body, std::uint64_t total) {
    if (total > (std::numeric_limits<std::uint32_t>::max() / 4))
      damaged_positions(part_, "a run holds too many positions");
    std::vector<std::uint8_t> raw(static_cast<std::size_t>(total) * 4 + 4);
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) throw std::bad_alloc();
    stream.next_in = const_cast<Bytef*>(body.data());
    stream.avail_in = static_cast<uInt>(body.size());
    stream.next_out = raw.data();
    stream.avail_out = static_cast<uInt>(raw.size());
    const int status = inflate(&stream, Z_FINISH);
    const std::size_t produced = raw.size() - stream.avail_out;
    const std::string message = stream.msg != nullptr ? stream.msg : "incomplete or truncated stream";
    inflateEnd(&stream);
    if (status != Z_STREAM_END) {
      if (produced == raw.size()) check_size(total + 1, total);  // more than its postings hold
      damaged_positions(part_, "a run is damaged (" + message + ")");
    }
    if (produced % 4 != 0) damaged_positions(part_, "a run is damaged (a partial word)");
    check_size(produced / 4, total);
    wide_.resize(produced / 4);
    for (std::size_t i = 0; i < wide_.size(); ++i) {
      const std::uint8_t* word = raw.data() + 4 * i;
      wide_[i] = std::uint32_t{word[0]} | std::uint32_t{word[1]} << 8 |
                 std::uint32_t{word[2]} << 16 | std::uint32_t{word[3]} << 24;
    }
  }

  const PhrasePartition& part_;
  std::vector<Posting> postings_;
  std::size_t lookup_ = 0;
  std::size_t first_run_ = 0;
  std::size_t end_run_ = 0;
  std::size_t run_ = 0;
  bool loaded_ = false;
  std::size_t rank_begin_ = 0;
  std::size_t rank_end_ = 0;
  const std::uint8_t* small_ = nullptr;
  std::vector<std::uint32_t> wide_;
  std::size_t cursor_rank_ = 0;
  std::size_t cursor_gap_ = 0;
};

// The documents of `a` also in `b` (both ascending).
std::vector<std::int32_t> intersect(const std::vector<std::int32_t>& a, const std::vector<Posting>& b) {
  std::vector<std::int32_t> both;
  auto from = b.begin();
  for (const std::int32_t doc : a) {
    from = seek(from, b.end(), doc);
    if (from == b.end()) break;
    if (from->doc_id == doc) both.push_back(doc);
  }
  return both;
}

// How many positions start the words in a row (word i at start + i), as minisearch.phrases
// counts them: each position of the first word that has every later word after it. `at` is
// scratch space, one slot a word.
std::int32_t occurrences(const std::vector<const std::vector<std::int64_t>*>& places,
                         std::vector<std::size_t>& at) {
  for (const auto* list : places)
    if (list->empty()) return 0;
  at.assign(places.size(), 0);
  std::int32_t count = 0;
  for (const std::int64_t start : *places[0]) {
    bool all = true;
    for (std::size_t word = 1; word < places.size() && all; ++word) {
      const std::vector<std::int64_t>& list = *places[word];
      const std::int64_t wanted = start + static_cast<std::int64_t>(word);
      std::size_t& i = at[word];
      while (i < list.size() && list[i] < wanted) ++i;
      all = i < list.size() && list[i] == wanted;
    }
    if (all) ++count;
  }
  return count;
}

// The phrase over its terms' readers: candidates first, then their places.
class PhraseEvaluation {
 public:
  PhraseEvaluation(const PhraseQuery& query) : query_(query) {
    readers_.reserve(query.terms.size());
    for (const PhraseTerm& term : query.terms) {
      readers_.emplace_back(term, term_postings(term));
      low_ = std::min(low_, term.partition->doc_begin);
      high_ = std::max(high_, term.partition->doc_end);
    }
    single_.assign(query.terms.size(), 0);
    term_words_.resize(query.terms.size());
    for (std::size_t word = 0; word < query.words.size(); ++word) {
      const auto& terms = query.words[word];
      for (const std::size_t term : terms) {
        if (terms.size() == 1 && single_[term] == 0) {
          single_[term] = 1;
          singles_.push_back(term);
        }
        else
          term_words_[term].push_back(word);
      }
    }
  }

  std::vector<Posting> run() {
    find_candidates();
    if (candidates_.empty()) return {};
    index_expansions();
    std::vector<Posting> found;
    for (std::size_t c = 0; c < candidates_.size(); ++c) {
      read_places(c);
      const bool want_title = query_.field != FieldFilter::content;
      const bool want_content = query_.field != FieldFilter::title;
      const std::int32_t title = want_title ? occurrences(titles_, at_) : 0;
      const std::int32_t content = want_content ? occurrences(contents_, at_) : 0;
      if (title != 0 || content != 0) found.push_back({candidates_[c], content, title});
    }
    return found;
  }

 private:
  // Marks, over the segment's documents, those of any of `terms`.
  std::vector<std::uint8_t> marks_of(const std::vector<std::size_t>& terms) const {
    std::vector<std::uint8_t> marks(static_cast<std::size_t>(high_ - low_), 0);
    for (const std::size_t term : terms)
      for (const Posting& posting : readers_[term].postings()) marks[index_of(posting.doc_id)] = 1;
    return marks;
  }

  std::size_t index_of(std::int32_t doc) const noexcept { return static_cast<std::size_t>(doc - low_); }

  // The documents that hold every word, none deleted: from the word with the fewest postings.
  void find_candidates() {
    const auto& words = query_.words;
    std::vector<std::size_t> sizes;
    for (const auto& terms : words) {
      std::size_t size = 0;
      for (const std::size_t term : terms) size += readers_[term].postings().size();
      sizes.push_back(size);
    }
    std::vector<std::size_t> order(words.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&sizes](std::size_t a, std::size_t b) { return sizes[a] < sizes[b]; });
    const auto& rarest = words[order[0]];
    std::vector<std::int32_t> docs;
    if (rarest.size() == 1) {
      for (const Posting& posting : readers_[rarest[0]].postings()) docs.push_back(posting.doc_id);
    } else {
      const std::vector<std::uint8_t> marks = marks_of(rarest);
      for (std::size_t i = 0; i < marks.size(); ++i)
        if (marks[i] != 0) docs.push_back(static_cast<std::int32_t>(low_ + static_cast<std::int64_t>(i)));
    }
    for (const std::int32_t doc : docs) {
      if (!std::binary_search(query_.deleted.begin(), query_.deleted.end(), doc)) candidates_.push_back(doc);
    }
    for (std::size_t i = 1; i < order.size() && !candidates_.empty(); ++i) {
      const auto& terms = words[order[i]];
      if (terms.size() == 1) {
        candidates_ = intersect(candidates_, readers_[terms[0]].postings());
        continue;
      }
      const std::vector<std::uint8_t> marks = marks_of(terms);
      std::erase_if(candidates_, [&](std::int32_t doc) { return marks[index_of(doc)] == 0; });
    }
  }

  // Per candidate, the postings of the expansions of a prefix that hold it: (term, rank) in term
  // order, ranks ascending per term across candidates.
  void index_expansions() {
    term_places_.resize(readers_.size());
    merged_.resize(query_.words.size());
    titles_.resize(query_.words.size());
    contents_.resize(query_.words.size());
    offsets_.assign(candidates_.size() + 1, 0);
    if (singles_.size() == readers_.size()) return;  // no prefix
    std::vector<std::int32_t> candidate(static_cast<std::size_t>(high_ - low_), -1);
    for (std::size_t c = 0; c < candidates_.size(); ++c)
      candidate[index_of(candidates_[c])] = static_cast<std::int32_t>(c);
    std::vector<std::pair<std::int32_t, std::pair<std::uint32_t, std::uint32_t>>> held;
    for (std::size_t term = 0; term < readers_.size(); ++term) {
      if (term_words_[term].empty()) continue;
      const auto& postings = readers_[term].postings();
      for (std::size_t rank = 0; rank < postings.size(); ++rank) {
        const std::int32_t c = candidate[index_of(postings[rank].doc_id)];
        if (c >= 0) held.push_back({c, {static_cast<std::uint32_t>(term), static_cast<std::uint32_t>(rank)}});
      }
    }
    for (const auto& entry : held) ++offsets_[static_cast<std::size_t>(entry.first) + 1];
    for (std::size_t c = 0; c < candidates_.size(); ++c) offsets_[c + 1] += offsets_[c];
    expansions_.resize(held.size());
    std::vector<std::size_t> next(offsets_.begin(), offsets_.end() - 1);
    for (const auto& entry : held) expansions_[next[static_cast<std::size_t>(entry.first)]++] = entry.second;
  }

  // Reads candidate c's places of every word into titles_ and contents_.
  void read_places(std::size_t c) {
    const std::int32_t doc = candidates_[c];
    for (const std::size_t term : singles_) {
      const std::ptrdiff_t rank = readers_[term].find(doc);
      if (rank < 0) damaged_positions(*query_.terms[term].partition, "a candidate left its term");
      readers_[term].read(static_cast<std::size_t>(rank), term_places_[term]);
    }
    for (std::size_t word = 0; word < query_.words.size(); ++word) {
      const auto& terms = query_.words[word];
      if (terms.size() == 1) {
        titles_[word] = &term_places_[terms[0]].title;
        contents_[word] = &term_places_[terms[0]].content;
      } else {
        merged_[word].title.clear();
        merged_[word].content.clear();
        titles_[word] = &merged_[word].title;
        contents_[word] = &merged_[word].content;
      }
    }
    for (std::size_t e = offsets_[c]; e < offsets_[c + 1]; ++e) {
      const auto [term, rank] = expansions_[e];
      if (single_[term] == 0) readers_[term].read(rank, term_places_[term]);
      for (const std::size_t word : term_words_[term]) {
        Places& into = merged_[word];  // a prefix: the positions of every expansion, in order
        into.title.insert(into.title.end(), term_places_[term].title.begin(), term_places_[term].title.end());
        into.content.insert(into.content.end(), term_places_[term].content.begin(), term_places_[term].content.end());
      }
    }
    for (std::size_t word = 0; word < query_.words.size(); ++word) {
      if (query_.words[word].size() == 1) continue;
      std::sort(merged_[word].title.begin(), merged_[word].title.end());
      std::sort(merged_[word].content.begin(), merged_[word].content.end());
    }
  }

  const PhraseQuery& query_;
  std::vector<PositionReader> readers_;
  std::int64_t low_ = std::numeric_limits<std::int64_t>::max();
  std::int64_t high_ = std::numeric_limits<std::int64_t>::min();
  std::vector<std::uint8_t> single_;  // per term: it stands alone for a word
  std::vector<std::size_t> singles_;  // those terms
  std::vector<std::vector<std::size_t>> term_words_;  // per term: the prefixes it expands
  std::vector<std::int32_t> candidates_;
  std::vector<std::size_t> offsets_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> expansions_;
  std::vector<Places> term_places_;
  std::vector<Places> merged_;
  std::vector<const std::vector<std::int64_t>*> titles_;
  std::vector<const std::vector<std::int64_t>*> contents_;
  std::vector<std::size_t> at_;
};

}  // namespace

std::vector<Posting> phrase_postings(const PhraseQuery& query) {
  if (query.terms.empty() || query.words.empty()) return {};
  return PhraseEvaluation(query).run();
}

}  // namespace minisearch::kernels
