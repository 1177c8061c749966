#include "evaluation.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

namespace minisearch::kernels {
namespace {

// Offers a document's exact score to the top k, asking `excluded` only when it would join.
void offer(TopK& best, const Hit& hit, const Excluded& excluded) {
  if (best.admits(hit) && !excluded(hit.doc)) best.add(hit);
}

// One term: its head scored from the front (in impact order, it stops at the first score below
// the k-th best), then every chunk whose bound reaches the k-th best.
void one_term(Term& term, TopK& best, const Excluded& excluded) {
  const bool ordered = term.head_in_impact_order();
  term.scan_head([&](std::int32_t doc, double score) {
    if (ordered && best.full() && score < best.theta()) return false;
    offer(best, {doc, score}, excluded);
    return true;
  });
  for (std::size_t chunk = 0; chunk < term.chunks(); ++chunk) {
    if (term.chunk_bound(chunk) < best.theta()) continue;
    for (const Scored& posting : term.chunk(chunk))
      offer(best, {posting.doc, posting.score}, excluded);
  }
}

// ---- every term (AND)

class Conjunction {
 public:
  Conjunction(std::vector<Term>& terms, TopK& best, const Excluded& excluded, Stats& stats)
      : terms_(terms),
        best_(best),
        excluded_(excluded),
        stats_(stats),
        parts_(terms.size()),
        chunks_(terms.size()) {}

  void run() {
    std::size_t driver = 0;
    for (std::size_t t = 1; t < terms_.size(); ++t) {
      if (terms_[t].size() < terms_[driver].size()) driver = t;
    }
    score_heads();
    score_chunks_of(driver);
  }

 private:
  // Every document of a head, best first by a bound from the heads alone, until the bound falls
  // below the k-th best.
  void score_heads() {
    for (Term& term : terms_) {
      for (const Scored& posting : term.head()) in_heads_.push_back(posting.doc);
    }
    std::sort(in_heads_.begin(), in_heads_.end());
    in_heads_.erase(std::unique(in_heads_.begin(), in_heads_.end()), in_heads_.end());
    std::vector<Hit> ordered;
    ordered.reserve(in_heads_.size());
    for (const std::int32_t doc : in_heads_) {
      if (const std::optional<double> bound = head_bound(doc)) ordered.push_back({doc, *bound});
    }
    std::sort(ordered.begin(), ordered.end(), better);
    for (const Hit& candidate : ordered) {
      if (candidate.score < best_.theta()) break;
      check(candidate.doc, std::nullopt);
    }
  }

  // A bound of `doc`'s score from the heads and the terms' largest chunk bounds; none when a
  // term can hold it nowhere.
  std::optional<double> head_bound(std::int32_t doc) {
    double bound = 0.0;
    for (Term& term : terms_) {
      if (const std::optional<double> score = term.in_head(doc)) {
        bound += *score;
      } else if (term.chunk_of(doc) >= 0) {
        bound += term.max_chunk_bound();
      } else {
        return std::nullopt;
      }
    }
    return bound;
  }

  // The driver's chunks, largest bound first, while a document there could reach the k-th best.
  void score_chunks_of(std::size_t driver) {
    Term& term = terms_[driver];
    double others = 0.0;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      if (t != driver) others += std::max(terms_[t].head_max(), terms_[t].max_chunk_bound());
    }
    std::vector<std::size_t> order(term.chunks());
    for (std::size_t c = 0; c < order.size(); ++c) order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&term](std::size_t a, std::size_t b) {
      return term.chunk_bound(a) > term.chunk_bound(b);
    });
    for (const std::size_t chunk : order) {
      if (term.chunk_bound(chunk) + others < best_.theta()) break;
      for (const Scored& posting : term.chunk(chunk)) {
        if (std::binary_search(in_heads_.begin(), in_heads_.end(), posting.doc)) continue;
        check(posting.doc, std::pair{driver, posting.score});
      }
    }
  }

  // Scores `doc` if it holds every term and its bound reaches the k-th best; `known` is a term
  // whose score is known already.
  void check(std::int32_t doc, std::optional<std::pair<std::size_t, double>> known) {
    bool open = false;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      chunks_[t] = -1;
      if (known && known->first == t) {
        parts_[t] = known->second;
        continue;
      }
      Term& term = terms_[t];
      if (const std::optional<double> score = term.in_head(doc)) {
        parts_[t] = *score;
        continue;
      }
      const std::ptrdiff_t chunk = term.chunk_of(doc);
      if (chunk < 0) return;
      const auto c = static_cast<std::size_t>(chunk);
      if (term.chunk_decoded(c)) {
        const std::optional<double> score = term.in_chunk(c, doc);
        if (!score) return;
        parts_[t] = *score;
        continue;
      }
      parts_[t] = term.doc_bound(c, doc);
      chunks_[t] = chunk;
      open = true;
    }
    ++stats_.documents_checked;
    if (open) {
      if (sum() < best_.theta()) return;
      for (std::size_t t = 0; t < terms_.size(); ++t) {
        if (chunks_[t] < 0) continue;
        const std::optional<double> score =
            terms_[t].in_chunk(static_cast<std::size_t>(chunks_[t]), doc);
        if (!score) return;
        parts_[t] = *score;
      }
    }
    offer(best_, {doc, sum()}, excluded_);
  }

  // The parts in term order, from 0.0, as minisearch.topk sums them.
  double sum() const noexcept {
    double total = 0.0;
    for (const double part : parts_) total += part;
    return total;
  }

  std::vector<Term>& terms_;
  TopK& best_;
  const Excluded& excluded_;
  Stats& stats_;
  std::vector<double> parts_;
  std::vector<std::ptrdiff_t> chunks_;
  std::vector<std::int32_t> in_heads_;
};

// ---- any term (OR)

// A document met in some decoded postings, with what is known of each term.
struct Candidate {
  std::int32_t doc;
  std::uint64_t known;  // bit t: the score of term t is in scores
};

class Disjunction {
 public:
  static constexpr std::size_t kMaxTerms = 64;

  Disjunction(std::vector<Term>& terms, TopK& best, const Excluded& excluded, Stats& stats,
              std::size_t k, double floor)
      : terms_(terms), best_(best), excluded_(excluded), stats_(stats), lower_(k, floor) {}

  void run() {
    gather();  // the heads
    for (const Candidate& candidate : candidates_) {
      offer(lower_, {candidate.doc, known_sum(candidate)}, excluded_);
    }
    if (decode_chunks_for_unseen()) gather();
    settle();
  }

 private:
  // The candidates: every document of the decoded postings of every term, in document order.
  void gather() {
    candidates_.clear();
    scores_.clear();
    const std::size_t n = terms_.size();
    std::vector<std::vector<Scored>> lists(n);
    for (std::size_t t = 0; t < n; ++t) lists[t] = known_postings(t);
    std::vector<std::size_t> at(n, 0);
    while (true) {
      std::int32_t doc = INT32_MAX;
      bool any = false;
      for (std::size_t t = 0; t < n; ++t) {
        if (at[t] < lists[t].size()) {
          doc = any ? std::min(doc, lists[t][at[t]].doc) : lists[t][at[t]].doc;
          any = true;
        }
      }
      if (!any) return;
      Candidate candidate{doc, 0};
      const std::size_t row = scores_.size();
      scores_.resize(row + n, 0.0);
      for (std::size_t t = 0; t < n; ++t) {
        if (at[t] < lists[t].size() && lists[t][at[t]].doc == doc) {
          candidate.known |= std::uint64_t{1} << t;
          scores_[row + t] = lists[t][at[t]].score;
          ++at[t];
        }
      }
      candidates_.push_back(candidate);
    }
  }

  // Term t's head and decoded chunks merged in document order.
  std::vector<Scored> known_postings(std::size_t t) {
    Term& term = terms_[t];
    std::vector<Scored> chunked;
    for (std::size_t c = 0; c < term.chunks(); ++c) {
      if (!term.chunk_decoded(c)) continue;
      const std::vector<Scored>& postings = term.chunk(c);
      chunked.insert(chunked.end(), postings.begin(), postings.end());
    }
    const std::vector<Scored>& head = term.head();
    std::vector<Scored> merged(head.size() + chunked.size());
    std::merge(head.begin(), head.end(), chunked.begin(), chunked.end(), merged.begin(),
               [](const Scored& a, const Scored& b) { return a.doc < b.doc; });
    return merged;
  }

  double known_sum(const Candidate& candidate) const noexcept {
    const std::size_t row = index_of(candidate) * terms_.size();
    double total = 0.0;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      if (candidate.known >> t & 1) total += scores_[row + t];
    }
    return total;
  }

  std::size_t index_of(const Candidate& candidate) const noexcept {
    return static_cast<std::size_t>(&candidate - candidates_.data());
  }

  double theta() const noexcept { return std::max(lower_.theta(), best_.theta()); }

  // Decodes every chunk that could hold a document met nowhere yet whose bound reaches theta:
  // its bound there plus the largest chunk bound of every other term. Returns whether any was.
  bool decode_chunks_for_unseen() {
    bool any = false;
    const double threshold = theta();
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      double others = 0.0;
      for (std::size_t u = 0; u < terms_.size(); ++u) {
        if (u != t) others += terms_[u].max_chunk_bound();
      }
      Term& term = terms_[t];
      for (std::size_t c = 0; c < term.chunks(); ++c) {
        if (term.chunk_bound(c) + others < threshold) continue;
        term.chunk(c);
        any = true;
      }
    }
    return any;
  }

  // Every candidate whose bound reaches theta, best bound first, looked up in the chunks that
  // could hold it.
  void settle() {
    const std::size_t n = terms_.size();
    std::vector<Hit> bounds;
    for (const Candidate& candidate : candidates_) {
      const std::size_t row = index_of(candidate) * n;
      double bound = 0.0;
      for (std::size_t t = 0; t < n; ++t) {
        if (candidate.known >> t & 1) {
          bound += scores_[row + t];
          continue;
        }
        const std::ptrdiff_t chunk = terms_[t].chunk_of(candidate.doc);
        if (chunk >= 0 && !terms_[t].chunk_decoded(static_cast<std::size_t>(chunk))) {
          bound += terms_[t].doc_bound(static_cast<std::size_t>(chunk), candidate.doc);
        }
      }
      if (bound >= theta())
        bounds.push_back({static_cast<std::int32_t>(index_of(candidate)), bound});
    }
    std::sort(bounds.begin(), bounds.end(), better);
    for (const Hit& bound : bounds) {
      if (bound.score < theta()) break;
      const Candidate& candidate = candidates_[static_cast<std::size_t>(bound.doc)];
      ++stats_.documents_checked;
      offer(best_, {candidate.doc, exact(candidate)}, excluded_);
    }
  }

  // A candidate's score: the sum in term order of the terms that hold it.
  double exact(const Candidate& candidate) {
    const std::size_t row = index_of(candidate) * terms_.size();
    double total = 0.0;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      if (candidate.known >> t & 1) {
        total += scores_[row + t];
        continue;
      }
      const std::ptrdiff_t chunk = terms_[t].chunk_of(candidate.doc);
      if (chunk < 0) continue;
      if (const std::optional<double> score =
              terms_[t].in_chunk(static_cast<std::size_t>(chunk), candidate.doc)) {
        total += *score;
      }
    }
    return total;
  }

  std::vector<Term>& terms_;
  TopK& best_;
  const Excluded& excluded_;
  Stats& stats_;
  TopK lower_;  // the k best lower bounds: every candidate matches, and scores at least its known
                // sum
  std::vector<Candidate> candidates_;
  std::vector<double> scores_;  // per candidate, per term
};

}  // namespace

Evaluation evaluate(Shape shape, std::span<const TermData> terms, std::span<const double> norms,
                    const Ranking& ranking, std::size_t k, double floor, const Excluded& excluded) {
  Evaluation evaluation;
  std::vector<Term> readers;
  readers.reserve(terms.size());
  for (const TermData& data : terms) readers.emplace_back(data, norms, ranking, evaluation.stats);
  TopK best(k, floor);
  if (k > 0 && !readers.empty()) {
    switch (shape) {
      case Shape::one_term: one_term(readers.front(), best, excluded); break;
      case Shape::every_term: Conjunction(readers, best, excluded, evaluation.stats).run(); break;
      case Shape::any_term:
        Disjunction(readers, best, excluded, evaluation.stats, k, floor).run();
        break;
    }
  }
  evaluation.hits = best.ranked();
  return evaluation;
}

}  // namespace minisearch::kernels
