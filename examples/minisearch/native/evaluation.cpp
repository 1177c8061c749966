#include "evaluation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

namespace minisearch::kernels {
namespace {

// Offers a document's exact score to the top k, asking `excluded` only when it would join.
void offer(TopK& best, const Hit& hit, const Excluded& excluded) {
  if (best.admits(hit) && !excluded(hit.doc)) best.add(hit);
}

// One term: its head scored from the front (in impact order, it stops at the first score below
// the k-th best; in the impact order of another length, at the first whose stale bound is),
// then every chunk whose bound reaches the k-th best.
void one_term(Term& term, TopK& best, const Excluded& excluded) {
  const bool ordered = term.head_in_impact_order();
  const bool stale = term.head_in_stale_order();
  term.scan_head([&](const Counted& posting, double score) {
    if (ordered && best.full() && score < best.theta()) return false;
    if (stale && term.stale_bound(posting) < best.theta()) return false;
    offer(best, {posting.doc, score}, excluded);
    return true;
  });
  for (std::size_t chunk = 0; chunk < term.chunks(); ++chunk) {
    if (term.chunk_bound(chunk) < best.theta()) continue;
    for (const Counted& posting : term.chunk(chunk)) {
      offer(best, {posting.doc, term.score(posting)}, excluded);
    }
  }
}

// ---- every term (AND)

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Documents in document order, with the scores each term is known to give them.
struct HeadTable {
  std::vector<std::int32_t> docs;
  std::vector<double> scores;  // per document, per term; NaN where not in that term's head
};

// Lists of postings in document order (one per term) merged into one table.
HeadTable merge_lists(const std::vector<std::vector<Scored>>& lists) {
  const std::size_t n = lists.size();
  HeadTable table;
  std::vector<std::size_t> at(n, 0);
  std::size_t total = 0;
  for (const std::vector<Scored>& list : lists) total += list.size();
  table.docs.reserve(total);
  table.scores.reserve(total * n);
  while (true) {
    std::int32_t doc = INT32_MAX;
    bool any = false;
    for (std::size_t t = 0; t < n; ++t) {
      if (at[t] < lists[t].size() && (!any || lists[t][at[t]].doc < doc)) {
        doc = lists[t][at[t]].doc;
        any = true;
      }
    }
    if (!any) return table;
    table.docs.push_back(doc);
    for (std::size_t t = 0; t < n; ++t) {
      const bool here = at[t] < lists[t].size() && lists[t][at[t]].doc == doc;
      table.scores.push_back(here ? lists[t][at[t]++].score : kNaN);
    }
  }
}

HeadTable merge_heads(std::vector<Term>& terms) {
  std::vector<std::vector<Scored>> heads;
  heads.reserve(terms.size());
  for (Term& term : terms) heads.push_back(term.head());
  return merge_lists(heads);
}

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
    heads_ = merge_heads(terms_);
    score_heads();
    score_chunks_of(driver);
  }

 private:
  // Every document of a head, best first by a bound from the heads and the chunks that could hold
  // it, until the bound falls below the k-th best.
  void score_heads() {
    const std::size_t n = terms_.size();
    std::vector<Hit> ordered;  // doc: the row in heads_
    ordered.reserve(heads_.docs.size());
    for (std::size_t row = 0; row < heads_.docs.size(); ++row) {
      double bound = 0.0;
      bool possible = true;
      for (std::size_t t = 0; t < n && possible; ++t) {
        const double score = heads_.scores[row * n + t];
        if (!std::isnan(score)) {
          bound += score;
        } else if (const std::ptrdiff_t chunk = terms_[t].chunk_of(heads_.docs[row]); chunk >= 0) {
          bound += terms_[t].doc_bound(static_cast<std::size_t>(chunk), heads_.docs[row]);
        } else {
          possible = false;
        }
      }
      if (possible) ordered.push_back({static_cast<std::int32_t>(row), bound});
    }
    // Best bound first, taken from a heap as long as they reach theta: usually a few.
    const auto lower = [](const Hit& a, const Hit& b) { return a.score < b.score; };
    std::make_heap(ordered.begin(), ordered.end(), lower);
    while (!ordered.empty() && ordered.front().score >= best_.theta()) {
      std::pop_heap(ordered.begin(), ordered.end(), lower);
      const auto row = static_cast<std::size_t>(ordered.back().doc);
      ordered.pop_back();
      check(heads_.docs[row], &heads_.scores[row * n]);
    }
  }

  // The driver's chunks, largest bound first, while a document there could reach the k-th best;
  // the documents of the heads were checked already.
  void score_chunks_of(std::size_t driver) {
    Term& term = terms_[driver];
    // The documents left are in no head: every other term holds them in a chunk, or not at all.
    double others = 0.0;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      if (t == driver) continue;
      if (terms_[t].chunks() == 0) return;
      others += terms_[t].max_chunk_bound();
    }
    std::vector<std::size_t> order(term.chunks());
    for (std::size_t c = 0; c < order.size(); ++c) order[c] = c;
    std::stable_sort(order.begin(), order.end(), [&term](std::size_t a, std::size_t b) {
      return term.chunk_bound(a) > term.chunk_bound(b);
    });
    std::vector<double> known(terms_.size(), kNaN);
    for (const std::size_t chunk : order) {
      if (term.chunk_bound(chunk) + others < best_.theta()) break;
      for (const Counted& posting : term.chunk(chunk)) {
        if (std::binary_search(heads_.docs.begin(), heads_.docs.end(), posting.doc)) continue;
        known[driver] = term.score(posting);
        check(posting.doc, known.data());
      }
    }
  }

  // Scores `doc` if it holds every term and its bound reaches the k-th best. `known[t]` is its
  // score for term t where known (NaN elsewhere: it is in no head of those terms).
  void check(std::int32_t doc, const double* known) {
    bool open = false;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      chunks_[t] = -1;
      if (!std::isnan(known[t])) {
        parts_[t] = known[t];
        continue;
      }
      Term& term = terms_[t];
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
        const auto c = static_cast<std::size_t>(chunks_[t]);
        const std::optional<double> score = terms_[t].in_chunk(c, doc);
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
  HeadTable heads_;
  std::vector<double> parts_;
  std::vector<std::ptrdiff_t> chunks_;
};

// ---- any term (OR)

class Disjunction {
 public:
  Disjunction(std::vector<Term>& terms, TopK& best, const Excluded& excluded, Stats& stats,
              std::size_t k, double floor)
      : terms_(terms), best_(best), excluded_(excluded), stats_(stats), lower_(k, floor) {}

  void run() {
    const std::size_t n = terms_.size();
    const HeadTable heads = merge_heads(terms_);
    // Every document of a head matches, and scores at least what its heads give it.
    for (std::size_t row = 0; row < heads.docs.size(); ++row) {
      double known = 0.0;
      for (std::size_t t = 0; t < n; ++t) {
        if (!std::isnan(heads.scores[row * n + t])) known += heads.scores[row * n + t];
      }
      offer(lower_, {heads.docs[row], known}, excluded_);
    }
    settle(heads);  // theta rises before the chunks are chosen
    settle(unseen(heads.docs));
  }

 private:
  double theta() const noexcept { return std::max(lower_.theta(), best_.theta()); }

  // The documents in no head that some chunk could hold with a bound reaching theta: every
  // document of the chunks whose bound, plus the largest chunk bound of every other term, does.
  // A document in no head scores at most the sum of its terms' largest chunk bounds: the weakest
  // terms whose bounds add up to less than theta cannot make a match alone, and their chunks
  // bring no candidate (they are looked up for the others' candidates).
  HeadTable unseen(const std::vector<std::int32_t>& in_heads) {
    const std::size_t n = terms_.size();
    std::vector<std::vector<Scored>> lists(n);
    const double threshold = theta();
    std::vector<std::size_t> weakest(n);
    for (std::size_t t = 0; t < n; ++t) weakest[t] = t;
    std::stable_sort(weakest.begin(), weakest.end(), [this](std::size_t a, std::size_t b) {
      return terms_[a].max_chunk_bound() < terms_[b].max_chunk_bound();
    });
    std::vector<bool> brings(n, true);
    double alone = 0.0;
    for (const std::size_t t : weakest) {
      alone += terms_[t].max_chunk_bound();
      if (alone >= threshold) break;
      brings[t] = false;
    }
    for (std::size_t t = 0; t < n; ++t) {
      if (!brings[t]) continue;
      double others = 0.0;
      for (std::size_t u = 0; u < n; ++u) {
        if (u != t) others += terms_[u].max_chunk_bound();
      }
      Term& term = terms_[t];
      for (std::size_t c = 0; c < term.chunks(); ++c) {
        if (term.chunk_bound(c) + others < threshold) continue;
        for (const Counted& posting : term.chunk(c)) {
          if (std::binary_search(in_heads.begin(), in_heads.end(), posting.doc)) continue;
          lists[t].push_back({posting.doc, term.score(posting)});
        }
      }
    }
    return merge_lists(lists);
  }

  // Every document of `table` whose bound reaches theta, best bound first, scored exactly.
  void settle(const HeadTable& table) {
    const std::size_t n = terms_.size();
    std::vector<double> parts(n);
    std::vector<Hit> bounds;  // doc: the row
    for (std::size_t row = 0; row < table.docs.size(); ++row) {
      const double bound = bound_of(table.docs[row], &table.scores[row * n]);
      if (bound >= theta()) bounds.push_back({static_cast<std::int32_t>(row), bound});
    }
    const auto lower = [](const Hit& a, const Hit& b) { return a.score < b.score; };
    std::make_heap(bounds.begin(), bounds.end(), lower);
    while (!bounds.empty() && bounds.front().score >= theta()) {
      std::pop_heap(bounds.begin(), bounds.end(), lower);
      const auto row = static_cast<std::size_t>(bounds.back().doc);
      bounds.pop_back();
      ++stats_.documents_checked;
      offer(best_, {table.docs[row], exact(table.docs[row], &table.scores[row * n])}, excluded_);
    }
  }

  // `doc`'s known scores (`known[t]`, NaN where not known) and, for the other terms, what the
  // chunk that could hold it gives: its score there when decoded, its bound otherwise.
  double bound_of(std::int32_t doc, const double* known) {
    double bound = 0.0;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      if (!std::isnan(known[t])) {
        bound += known[t];
        continue;
      }
      const std::ptrdiff_t chunk = terms_[t].chunk_of(doc);
      if (chunk < 0) continue;
      const auto c = static_cast<std::size_t>(chunk);
      if (!terms_[t].chunk_decoded(c)) {
        bound += terms_[t].doc_bound(c, doc);
      } else if (const std::optional<double> score = terms_[t].in_chunk(c, doc)) {
        bound += *score;
      }
    }
    return bound;
  }

  // `doc`'s score: the sum in term order of the terms that hold it.
  double exact(std::int32_t doc, const double* known) {
    double total = 0.0;
    for (std::size_t t = 0; t < terms_.size(); ++t) {
      if (!std::isnan(known[t])) {
        total += known[t];
        continue;
      }
      const std::ptrdiff_t chunk = terms_[t].chunk_of(doc);
      if (chunk < 0) continue;
      if (const std::optional<double> score =
              terms_[t].in_chunk(static_cast<std::size_t>(chunk), doc)) {
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
