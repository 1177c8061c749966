// The postings of a phrase in one segment: the documents that hold its words next to each other,
// in this order, within one field, with the number of such places per field. The words' posting
// lists are decoded in place from the mapped block files and their positions read from the mapped
// positions files (minisearch/positions.py describes the runs). The same answer as
// minisearch.phrases, which stays as the pure-Python path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "encoding/postings.h"
#include "phrase_lists.h"

namespace minisearch::kernels {

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
// The words' lists are read only where the candidates are (phrase_lists.h). Throws DamagedEntry
// (terms.h) for a damaged entry or positions run.
std::vector<quorbel::encoding::Posting> phrase_postings(const PhraseQuery& query);

}  // namespace minisearch::kernels
