// The exact top k of one segment for the three query shapes the kernels take: one term, every
// term (AND), any term (OR). The same answer as minisearch.topk.top_k, scores bit for bit: the
// same bounds decide what may be skipped, the same sums (in term order) make the scores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "scoring.h"
#include "terms.h"

namespace minisearch::kernels {

enum class Shape : std::uint8_t { one_term = 0, every_term = 1, any_term = 2 };

// Whether a document is left out (deleted, or holding an excluded word); asked only of documents
// about to join the top k. May throw (the binding's Python call failed).
using Excluded = std::function<bool(std::int32_t)>;

struct Evaluation {
  std::vector<Hit> hits;  // best first, ties by document id
  Stats stats;
};

// The k best documents of `terms` combined as `shape`, leaving out those that score below `floor`
// and those `excluded` names. Throws DamagedEntry, BeyondNorms, or what `excluded` throws.
Evaluation evaluate(Shape shape, std::span<const TermData> terms, std::span<const double> norms,
                    const Ranking& ranking, std::size_t k, double floor, const Excluded& excluded);

}  // namespace minisearch::kernels
