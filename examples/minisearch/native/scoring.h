// The BM25 score of one posting, with the operations of minisearch.ranking.score_postings in the
// same order, and the running top k with its threshold.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace minisearch::kernels {

// The ranking constants, read from minisearch.ranking by the caller at every call.
struct Ranking {
  double k1_plus_1;           // K1 + 1.0
  std::int64_t title_weight;  // TITLE_WEIGHT, at most 2**31 in magnitude
};

// weight * ((F * (K1 + 1.0)) / (F + norm)) with F = content + TITLE_WEIGHT * title: F is an exact
// integer, converted to a double once, as Python converts it for each of the two operations.
inline double term_score(double weight, std::int64_t frequency, double norm,
                         const Ranking& ranking) noexcept {
  const double f = static_cast<double>(frequency);
  return weight * ((f * ranking.k1_plus_1) / (f + norm));
}

inline std::int64_t weighted_frequency(std::int32_t content, std::int32_t title,
                                       const Ranking& ranking) noexcept {
  return std::int64_t{content} + ranking.title_weight * std::int64_t{title};
}

struct Hit {
  std::int32_t doc;
  double score;
};

// Better: a higher score, then a smaller document id.
inline bool better(const Hit& a, const Hit& b) noexcept {
  return a.score != b.score ? a.score > b.score : a.doc < b.doc;
}

inline constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();
// Bounds and scores are the same formulas on the same doubles; the margin absorbs the order of
// their sums (the value of minisearch.topk).
inline constexpr double kRelativeMargin = 1e-12;

// The k best hits so far, the worst on top of a heap.
class TopK {
 public:
  TopK(std::size_t k, double floor) : k_(k), floor_(floor) { heap_.reserve(k); }

  // Never for k = 0: there is no k-th hit then, and nothing is admitted.
  bool full() const noexcept { return k_ > 0 && heap_.size() >= k_; }
  // The k-th best score, or the floor if higher (minus infinity for neither).
  double kth() const noexcept {
    return std::max(full() ? heap_.front().score : kNegativeInfinity, floor_);
  }
  // kth() less the margin: what a bound must reach for its document to matter.
  double theta() const noexcept {
    const double value = kth();
    return value - std::abs(value) * kRelativeMargin;
  }
  // Whether `hit` would join the k best.
  bool admits(const Hit& hit) const noexcept {
    return k_ > 0 && (!full() || better(hit, heap_.front()));
  }
  void add(const Hit& hit) {
    if (!admits(hit)) return;
    if (full()) {
      std::pop_heap(heap_.begin(), heap_.end(), better);
      heap_.back() = hit;
    } else {
      heap_.push_back(hit);
    }
    std::push_heap(heap_.begin(), heap_.end(), better);
  }
  // The hits best first, those below theta() left out.
  std::vector<Hit> ranked() const {
    std::vector<Hit> hits = heap_;
    std::sort(hits.begin(), hits.end(), better);
    const double threshold = theta();
    while (!hits.empty() && hits.back().score < threshold) hits.pop_back();
    return hits;
  }

 private:
  std::size_t k_;
  double floor_;
  std::vector<Hit> heap_;
};

}  // namespace minisearch::kernels
