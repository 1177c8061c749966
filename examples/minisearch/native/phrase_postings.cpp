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
  const ByteSpan bytes =
      part.blocks.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
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
  out.reserve(out.size() + quorbel::encoding::count_postings(bytes));
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
      damaged_entry(part, entry,
                    "it names documents outside " + std::to_string(part.doc_begin) + ".." +
                        std::to_string(part.doc_end - 1));
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
  std::size_t total = head.size();
  for (std::size_t entry = term.head_entry + 1; entry < term.head_entry + term.entries; ++entry)
    total += quorbel::encoding::count_postings(entry_bytes(part, entry));
  std::vector<Posting> all;
  all.reserve(total);
  for (std::size_t entry = term.head_entry + 1; entry < term.head_entry + term.entries; ++entry) {
    const std::size_t before = all.size();
    decode_entry(part, entry, all);
    for (std::size_t i = std::max<std::size_t>(before, 1); i < all.size(); ++i) {
      if (all[i].doc_id <= all[i - 1].doc_id)
        damaged_entry(part, entry, "its documents are out of order");
    }
  }
  // The head merged in from the back, in place.
  std::size_t chunk = all.size();
  all.resize(all.size() + head.size());
  for (std::size_t at = all.size(), from = head.size(); from > 0;) {
    if (chunk > 0 && all[chunk - 1].doc_id > head[from - 1].doc_id)
      all[--at] = all[--chunk];
    else
      all[--at] = head[--from];
  }
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (all[i].doc_id == all[i - 1].doc_id)
      damaged_entry(part, term.head_entry, "a document is in it twice");
  }
  return all;
}

// The first posting from `from` on whose document is `doc` or later: a gallop, then a bisection.
std::vector<Posting>::const_iterator seek(std::vector<Posting>::const_iterator from,
                                          std::vector<Posting>::const_iterator end,
                                          std::int32_t doc) {
  std::ptrdiff_t step = 1;
  auto low = from;
  while (from != end && from->doc_id < doc) {
    low = from + 1;
    from = end - from > step ? from + step : end;
    step *= 2;
  }
  return std::lower_bound(low, from, Posting{doc, 0, 0}, by_doc);
}

// A raw deflate decompressor, reset for each run: its state and window are allocated once.
class Inflater {
 public:
  Inflater() = default;
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }

  // Inflates `body` into `out`, at most its size; returns zlib's status and sets `produced`.
  int inflate_into(ByteSpan body, std::vector<std::uint8_t>& out, std::size_t& produced) {
    if (!ready_) {
      if (inflateInit2(&stream_, -15) != Z_OK) throw std::bad_alloc();
      ready_ = true;
    } else if (inflateReset(&stream_) != Z_OK) {
      throw std::bad_alloc();
    }
    stream_.next_in = const_cast<Bytef*>(body.data());
    stream_.avail_in = static_cast<uInt>(body.size());
    stream_.next_out = out.data();
    stream_.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream_, Z_FINISH);
    produced = out.size() - stream_.avail_out;
    return status;
  }
  std::string message() const {
    return stream_.msg != nullptr ? stream_.msg : "incomplete or truncated stream";
  }

 private:
  z_stream stream_{};
  bool ready_ = false;
};

// Where a document's occurrences of one term are: title positions, then content positions.
struct Places {
  std::vector<std::int64_t> title;
  std::vector<std::int64_t> content;
};

// Reads a term's positions for postings in ascending order, a run decoded once.
class PositionReader {
 public:
  PositionReader(const PhraseTerm& term, std::vector<Posting> postings, Inflater& inflater)
      : part_(*term.partition), postings_(std::move(postings)), inflater_(&inflater) {
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

  // The positions of posting `rank` in the fields wanted (ranks asked in ascending order).
  void read(std::size_t rank, Places& out, bool title, bool content) {
    if (!loaded_ || rank >= rank_end_) load_run_of(rank);
    if (rank < rank_begin_ || rank >= rank_end_)  // runs whose counts do not ascend
      damaged_positions(part_, "its index does not match its runs");
    while (cursor_rank_ < rank) {
      const Posting& p = postings_[cursor_rank_++];
      cursor_gap_ +=
          static_cast<std::size_t>(p.title_freq) + static_cast<std::size_t>(p.content_freq);
    }
    const Posting& p = postings_[rank];
    if (title) accumulate(cursor_gap_, static_cast<std::size_t>(p.title_freq), out.title);
    if (content) {
      accumulate(cursor_gap_ + static_cast<std::size_t>(p.title_freq),
                 static_cast<std::size_t>(p.content_freq), out.content);
    }
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
    std::vector<std::uint8_t>& raw = raw_;
    raw.resize(static_cast<std::size_t>(total) * 4 + 4);
    std::size_t produced = 0;
    const int status = inflater_->inflate_into(body, raw, produced);
    if (status != Z_STREAM_END) {
      if (produced == raw.size()) check_size(total + 1, total);  // more than its postings hold
      damaged_positions(part_, "a run is damaged (" + inflater_->message() + ")");
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
  Inflater* inflater_;
  std::vector<std::uint8_t> raw_;
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

// How many positions start the words in a row (word i at start + i), as minisearch.phrases
// counts them: each position of the first word that has every later word after it. `at` is
// scratch space, one slot a word.
std::int32_t occurrences(const std::vector<const std::vector<std::int64_t>*>& places,
                         std::vector<std::size_t>& at) {
  for (const auto* list : places)
    if (list->empty()) return 0;
  if (places.size() == 2) {  // the common case, in one merge
    const std::vector<std::int64_t>& first = *places[0];
    const std::vector<std::int64_t>& second = *places[1];
    std::int32_t count = 0;
    std::size_t i = 0;
    for (const std::int64_t start : first) {
      while (i < second.size() && second[i] <= start) ++i;
      if (i == second.size()) break;
      count += second[i] == start + 1;
    }
    return count;
  }
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
      readers_.emplace_back(term, term_postings(term), inflater_);
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
        } else
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
      const auto [want_title, want_content] = read_places(c);
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

  std::size_t index_of(std::int32_t doc) const noexcept {
    return static_cast<std::size_t>(doc - low_);
  }

  // The documents that hold every word, none deleted: those of the word with the fewest postings
  // looked up in the others (the terms standing alone from the rarest on, each from where it
  // last stopped), with the rank of each candidate's posting in each term standing alone.
  void find_candidates() {
    const auto& words = query_.words;
    auto size_of = [this](const std::vector<std::size_t>& terms) {
      std::size_t size = 0;
      for (const std::size_t term : terms) size += readers_[term].postings().size();
      return size;
    };
    std::size_t rarest = 0;
    for (std::size_t word = 1; word < words.size(); ++word)
      if (size_of(words[word]) < size_of(words[rarest])) rarest = word;
    std::stable_sort(singles_.begin(), singles_.end(), [this](std::size_t a, std::size_t b) {
      return readers_[a].postings().size() < readers_[b].postings().size();
    });
    std::vector<std::vector<std::uint8_t>> marks;  // of the prefixes but the rarest word
    for (std::size_t word = 0; word < words.size(); ++word)
      if (word != rarest && words[word].size() > 1) marks.push_back(marks_of(words[word]));
    std::vector<std::vector<Posting>::const_iterator> cursors;
    for (const std::size_t term : singles_) cursors.push_back(readers_[term].postings().begin());
    std::vector<std::size_t> ranks(singles_.size());
    auto deleted = query_.deleted.begin();
    auto offer = [&](std::int32_t doc) {
      while (deleted != query_.deleted.end() && *deleted < doc) ++deleted;
      if (deleted != query_.deleted.end() && *deleted == doc) return;
      for (std::size_t k = 0; k < singles_.size(); ++k) {
        const std::vector<Posting>& postings = readers_[singles_[k]].postings();
        cursors[k] = seek(cursors[k], postings.end(), doc);
        if (cursors[k] == postings.end() || cursors[k]->doc_id != doc) return;
        ranks[k] = static_cast<std::size_t>(cursors[k] - postings.begin());
      }
      for (const std::vector<std::uint8_t>& word_marks : marks)
        if (word_marks[index_of(doc)] == 0) return;
      candidates_.push_back(doc);
      candidate_ranks_.insert(candidate_ranks_.end(), ranks.begin(), ranks.end());
    };
    if (words[rarest].size() == 1) {
      for (const Posting& posting : readers_[words[rarest][0]].postings()) offer(posting.doc_id);
      return;
    }
    const std::vector<std::uint8_t> rarest_marks = marks_of(words[rarest]);
    for (std::size_t i = 0; i < rarest_marks.size(); ++i)
      if (rarest_marks[i] != 0)
        offer(static_cast<std::int32_t>(low_ + static_cast<std::int64_t>(i)));
  }

  // Per candidate, the postings of the expansions of a prefix that hold it: (term, rank) in term
  // order, ranks ascending per term across candidates.
  void index_expansions() {
    term_places_.resize(readers_.size());
    ranks_.resize(readers_.size());
    word_title_.resize(query_.words.size());
    word_content_.resize(query_.words.size());
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
        if (c >= 0)
          held.push_back({c, {static_cast<std::uint32_t>(term), static_cast<std::uint32_t>(rank)}});
      }
    }
    for (const auto& entry : held) ++offsets_[static_cast<std::size_t>(entry.first) + 1];
    for (std::size_t c = 0; c < candidates_.size(); ++c) offsets_[c + 1] += offsets_[c];
    expansions_.resize(held.size());
    std::vector<std::size_t> next(offsets_.begin(), offsets_.end() - 1);
    for (const auto& entry : held)
      expansions_[next[static_cast<std::size_t>(entry.first)]++] = entry.second;
  }

  // Reads candidate c's places of every word into titles_ and contents_.
  // Only the fields where every word occurs (and the query looks), which it returns.
  std::pair<bool, bool> read_places(std::size_t c) {
    bool title = query_.field != FieldFilter::content;
    bool content = query_.field != FieldFilter::title;
    for (std::size_t k = 0; k < singles_.size(); ++k) {
      const std::size_t term = singles_[k];
      ranks_[term] = candidate_ranks_[c * singles_.size() + k];
      const Posting& posting = readers_[term].postings()[ranks_[term]];
      title = title && posting.title_freq > 0;
      content = content && posting.content_freq > 0;
    }
    if (offsets_[c] != offsets_[c + 1] || singles_.size() != readers_.size()) {
      std::fill(word_title_.begin(), word_title_.end(), 0);
      std::fill(word_content_.begin(), word_content_.end(), 0);
      for (std::size_t e = offsets_[c]; e < offsets_[c + 1]; ++e) {
        const auto [term, rank] = expansions_[e];
        const Posting& posting = readers_[term].postings()[rank];
        for (const std::size_t word : term_words_[term]) {
          word_title_[word] |= posting.title_freq > 0;
          word_content_[word] |= posting.content_freq > 0;
        }
      }
      for (std::size_t word = 0; word < query_.words.size(); ++word) {
        if (query_.words[word].size() == 1) continue;
        title = title && word_title_[word] != 0;
        content = content && word_content_[word] != 0;
      }
    }
    if (!title && !content) return {false, false};
    for (const std::size_t term : singles_)
      readers_[term].read(ranks_[term], term_places_[term], title, content);
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
      if (single_[term] == 0) readers_[term].read(rank, term_places_[term], title, content);
      for (const std::size_t word : term_words_[term]) {
        Places& into = merged_[word];  // a prefix: the positions of every expansion, in order
        into.title.insert(into.title.end(), term_places_[term].title.begin(),
                          term_places_[term].title.end());
        into.content.insert(into.content.end(), term_places_[term].content.begin(),
                            term_places_[term].content.end());
      }
    }
    for (std::size_t word = 0; word < query_.words.size(); ++word) {
      if (query_.words[word].size() == 1) continue;
      std::sort(merged_[word].title.begin(), merged_[word].title.end());
      std::sort(merged_[word].content.begin(), merged_[word].content.end());
    }
    return {title, content};
  }

  const PhraseQuery& query_;
  Inflater inflater_;  // before the readers, which use it
  std::vector<PositionReader> readers_;
  std::int64_t low_ = std::numeric_limits<std::int64_t>::max();
  std::int64_t high_ = std::numeric_limits<std::int64_t>::min();
  std::vector<std::uint8_t> single_;                  // per term: it stands alone for a word
  std::vector<std::size_t> singles_;                  // those terms
  std::vector<std::vector<std::size_t>> term_words_;  // per term: the prefixes it expands
  std::vector<std::int32_t> candidates_;
  std::vector<std::size_t> candidate_ranks_;  // per candidate, its rank in each of singles_
  std::vector<std::size_t> offsets_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> expansions_;
  std::vector<Places> term_places_;
  std::vector<std::size_t> ranks_;        // per term standing alone, the candidate's posting
  std::vector<std::uint8_t> word_title_;  // per prefix word, whether the candidate holds it there
  std::vector<std::uint8_t> word_content_;
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
