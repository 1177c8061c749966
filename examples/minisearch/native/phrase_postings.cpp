#include "phrase_postings.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "phrase_positions.h"

namespace minisearch::kernels {
namespace {

using quorbel::ByteSpan;
using quorbel::encoding::Posting;

// The places below which two words' are matched as bits.
constexpr std::size_t kNearBits = 1024;

// How many places of the first word have the second right after them, where every place of the
// second is below kNearBits and `last` is its greatest: the second word's places as bits, each of
// the first's looked up there without a branch to mispredict. `first` and `second` call their
// argument with each place of their word, in order.
template <class First, class Second>
std::int32_t pairs_by_bits(const First& first, const Second& second, std::int64_t last) {
  std::uint64_t bits[kNearBits / 64];
  const auto used = static_cast<std::size_t>(last >> 6) + 1;
  for (std::size_t word = 0; word < used; ++word) bits[word] = 0;
  second([&bits](std::int64_t place) { bits[place >> 6] |= std::uint64_t{1} << (place & 63); });
  std::int32_t count = 0;
  first([&](std::int64_t start) {
    const std::int64_t next = std::min(start + 1, last);  // a place past the last: none
    count += static_cast<std::int32_t>(bits[next >> 6] >> (next & 63) & 1) & (start + 1 <= last);
  });
  return count;
}

// The same by a merge, for places anywhere.
std::int32_t pairs_by_merge(const std::vector<std::int64_t>& first,
                            const std::vector<std::int64_t>& second) {
  std::int32_t count = 0;
  std::size_t i = 0;
  for (const std::int64_t start : first) {
    while (i < second.size() && second[i] <= start) ++i;
    if (i == second.size()) break;
    count += second[i] == start + 1;
  }
  return count;
}

// Calls `visit` with each place that `gaps` lead to, in order.
template <class Visit>
void for_each_place(const PositionReader::Gaps& gaps, const Visit& visit) {
  std::int64_t place = 0;
  if (gaps.small != nullptr) {
    for (std::size_t i = 0; i < gaps.count; ++i) visit(place += gaps.small[i]);
  } else {
    for (std::size_t i = 0; i < gaps.count; ++i) visit(place += gaps.wide[i]);
  }
}

// The places of two words in a row in one field, the words given by their gaps there: placed in
// `first` and `second` (scratch space) only when the second reaches past kNearBits.
std::int32_t pairs_of_gaps(const PositionReader::Gaps& a, const PositionReader::Gaps& b,
                           std::vector<std::int64_t>& first, std::vector<std::int64_t>& second) {
  if (a.count == 0 || b.count == 0) return 0;
  std::int64_t last = 0;
  for_each_place(b, [&last](std::int64_t place) { last = place; });
  const auto places_of = [](const PositionReader::Gaps& gaps) {
    return [&gaps](const auto& visit) { for_each_place(gaps, visit); };
  };
  if (last < static_cast<std::int64_t>(kNearBits))
    return pairs_by_bits(places_of(a), places_of(b), last);
  first.clear();
  second.clear();
  for_each_place(a, [&first](std::int64_t place) { first.push_back(place); });
  for_each_place(b, [&second](std::int64_t place) { second.push_back(place); });
  return pairs_by_merge(first, second);
}

// How many positions start the words in a row (word i at start + i), as minisearch.phrases
// counts them: each position of the first word that has every later word after it. `at` is
// scratch space, one slot a word.
std::int32_t occurrences(const std::vector<const std::vector<std::int64_t>*>& places,
                         std::vector<std::size_t>& at) {
  for (const auto* list : places)
    if (list->empty()) return 0;
  if (places.size() == 2) {  // the common case
    const std::vector<std::int64_t>& first = *places[0];
    const std::vector<std::int64_t>& second = *places[1];
    if (second.back() >= static_cast<std::int64_t>(kNearBits)) return pairs_by_merge(first, second);
    const auto places_of = [](const std::vector<std::int64_t>& list) {
      return [&list](const auto& visit) {
        for (const std::int64_t place : list) visit(place);
      };
    };
    return pairs_by_bits(places_of(first), places_of(second), second.back());
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

constexpr std::size_t kDense = 16;

// The phrase over its terms' readers: candidates first, then their places.
class PhraseEvaluation {
 public:
  PhraseEvaluation(const PhraseQuery& query) : query_(query) {
    readers_.reserve(query.terms.size());
    for (const PhraseTerm& term : query.terms) {
      readers_.emplace_back(term);
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
    if (query_.words.size() == 2 && singles_.size() == 2 && readers_.size() == 2) return run_pair();
    index_expansions();
    std::vector<Posting> found;
    found.reserve(candidates_.size());
    for (std::size_t c = 0; c < candidates_.size(); ++c) {
      const auto [want_title, want_content] = read_places(c);
      const std::int32_t title = want_title ? occurrences(titles_, at_) : 0;
      const std::int32_t content = want_content ? occurrences(contents_, at_) : 0;
      if (title != 0 || content != 0) found.push_back({candidates_[c], content, title});
    }
    return found;
  }

 private:
  // run() of a phrase of two words, each a term of its own (the commonest phrase): the places in
  // a row counted from the words' gaps, without placing them in arrays.
  std::vector<Posting> run_pair() {
    const std::size_t first_term = query_.words[0][0];
    const std::size_t first = singles_[0] == first_term ? 0 : 1;  // in the candidates' rows
    const std::size_t second = 1 - first;
    PositionReader& first_reader = readers_[first_term];
    PositionReader& second_reader = readers_[query_.words[1][0]];
    const bool titles = query_.field != FieldFilter::content;
    const bool contents = query_.field != FieldFilter::title;
    std::vector<Posting> found;
    found.reserve(candidates_.size());
    for (std::size_t c = 0; c < candidates_.size(); ++c) {
      const Posting& a = candidate_postings_[2 * c + first];
      const Posting& b = candidate_postings_[2 * c + second];
      const std::size_t a_rank = candidate_ranks_[2 * c + first];
      const std::size_t b_rank = candidate_ranks_[2 * c + second];
      std::int32_t title = 0;
      std::int32_t content = 0;
      if (titles && a.title_freq > 0 && b.title_freq > 0) {
        title = pairs_of_gaps(first_reader.gaps(a_rank, true), second_reader.gaps(b_rank, true),
                              pair_first_, pair_second_);
      }
      if (contents && a.content_freq > 0 && b.content_freq > 0) {
        content = pairs_of_gaps(first_reader.gaps(a_rank, false), second_reader.gaps(b_rank, false),
                                pair_first_, pair_second_);
      }
      if (title != 0 || content != 0) found.push_back({candidates_[c], content, title});
    }
    return found;
  }

  // Marks, over the segment's documents, those of any of `terms`.
  std::vector<std::uint8_t> marks_of(const std::vector<std::size_t>& terms) {
    std::vector<std::uint8_t> marks(static_cast<std::size_t>(high_ - low_), 0);
    for (const std::size_t term : terms)
      for (const Posting& posting : list(term).all()) marks[index_of(posting.doc_id)] = 1;
    return marks;
  }

  TermList& list(std::size_t term) noexcept { return readers_[term].list(); }

  std::size_t index_of(std::int32_t doc) const noexcept {
    return static_cast<std::size_t>(doc - low_);
  }

  // The documents that hold every word, none deleted: those of the word with the fewest postings
  // looked up in the others (the terms standing alone from the rarest on: their head, and the
  // one chunk that could hold it), with each candidate's posting, and its rank, in each term
  // standing alone.
  void find_candidates() {
    const auto& words = query_.words;
    auto size_of = [this](const std::vector<std::size_t>& terms) {
      std::size_t size = 0;
      for (const std::size_t term : terms) size += list(term).size();
      return size;
    };
    std::size_t rarest = 0;
    for (std::size_t word = 1; word < words.size(); ++word)
      if (size_of(words[word]) < size_of(words[rarest])) rarest = word;
    // A list at most kDense times the rarest word's is read whole: its candidates are too close
    // together for looking up their chunks to save anything.
    const std::size_t dense = kDense * size_of(words[rarest]);
    // At most the rarest word's documents (a prefix's expansions may share some): room for them
    // all, so that a common phrase's candidates are not copied as their arrays grow.
    candidates_.reserve(size_of(words[rarest]));
    candidate_ranks_.reserve(candidates_.capacity() * singles_.size());
    candidate_postings_.reserve(candidates_.capacity() * singles_.size());
    for (const std::size_t term : singles_)
      if (list(term).size() <= dense) list(term).read_all();
    std::stable_sort(singles_.begin(), singles_.end(), [this](std::size_t a, std::size_t b) {
      return list(a).size() < list(b).size();
    });
    std::vector<std::vector<std::uint8_t>> marks;  // of the prefixes but the rarest word
    for (std::size_t word = 0; word < words.size(); ++word)
      if (word != rarest && words[word].size() > 1) marks.push_back(marks_of(words[word]));
    std::vector<std::size_t> ranks(singles_.size());
    std::vector<Posting> postings(singles_.size());
    auto deleted = query_.deleted.begin();
    // `known` is the term whose posting of `doc` is `posting`, of rank `rank` (or none).
    auto offer = [&](std::int32_t doc, std::size_t known, const Posting& posting,
                     std::size_t rank) {
      while (deleted != query_.deleted.end() && *deleted < doc) ++deleted;
      if (deleted != query_.deleted.end() && *deleted == doc) return;
      for (std::size_t k = 0; k < singles_.size(); ++k) {
        if (singles_[k] == known) {
          postings[k] = posting;
          ranks[k] = rank;
          continue;
        }
        const Posting* found = list(singles_[k]).find(doc, ranks[k]);
        if (found == nullptr) return;
        postings[k] = *found;
      }
      for (const std::vector<std::uint8_t>& word_marks : marks)
        if (word_marks[index_of(doc)] == 0) return;
      candidates_.push_back(doc);
      candidate_ranks_.insert(candidate_ranks_.end(), ranks.begin(), ranks.end());
      candidate_postings_.insert(candidate_postings_.end(), postings.begin(), postings.end());
    };
    if (words[rarest].size() == 1) {
      const std::size_t term = words[rarest][0];
      const std::vector<Posting>& all = list(term).all();
      for (std::size_t rank = 0; rank < all.size(); ++rank)
        offer(all[rank].doc_id, term, all[rank], rank);
      return;
    }
    const std::vector<std::uint8_t> rarest_marks = marks_of(words[rarest]);
    for (std::size_t i = 0; i < rarest_marks.size(); ++i)
      if (rarest_marks[i] != 0)
        offer(static_cast<std::int32_t>(low_ + static_cast<std::int64_t>(i)), readers_.size(),
              Posting{}, 0);
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
      const auto& postings = list(term).all();
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
      const Posting& posting = candidate_postings_[c * singles_.size() + k];
      title = title && posting.title_freq > 0;
      content = content && posting.content_freq > 0;
    }
    if (offsets_[c] != offsets_[c + 1] || singles_.size() != readers_.size()) {
      std::fill(word_title_.begin(), word_title_.end(), 0);
      std::fill(word_content_.begin(), word_content_.end(), 0);
      for (std::size_t e = offsets_[c]; e < offsets_[c + 1]; ++e) {
        const auto [term, rank] = expansions_[e];
        const Posting& posting = list(term).all()[rank];
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
  std::vector<PositionReader> readers_;
  std::int64_t low_ = std::numeric_limits<std::int64_t>::max();
  std::int64_t high_ = std::numeric_limits<std::int64_t>::min();
  std::vector<std::uint8_t> single_;                  // per term: it stands alone for a word
  std::vector<std::size_t> singles_;                  // those terms
  std::vector<std::vector<std::size_t>> term_words_;  // per term: the prefixes it expands
  std::vector<std::int32_t> candidates_;
  std::vector<std::size_t> candidate_ranks_;  // per candidate, its rank in each of singles_
  std::vector<Posting> candidate_postings_;   // and its posting there
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
  std::vector<std::int64_t> pair_first_;  // run_pair()'s scratch space
  std::vector<std::int64_t> pair_second_;
};

}  // namespace

std::vector<Posting> phrase_postings(const PhraseQuery& query) {
  if (query.terms.empty() || query.words.empty()) return {};
  return PhraseEvaluation(query).run();
}

}  // namespace minisearch::kernels
