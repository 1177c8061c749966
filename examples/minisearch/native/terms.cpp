#include "terms.h"

#include <algorithm>
#include <atomic>
#include <variant>

#include "crc32.h"

namespace minisearch::kernels {

Term::Term(const TermData& data, std::span<const double> norms, const Ranking& ranking,
           Stats& stats)
    : data_(data),
      norms_(norms),
      ranking_(ranking),
      stats_(stats),
      chunks_(data.first_docs.size()),
      decoded_(data.first_docs.size(), 0) {
  for (std::size_t chunk = 0; chunk < chunks(); ++chunk) {
    max_chunk_bound_ = std::max(max_chunk_bound_, chunk_bound(chunk));
  }
}

std::size_t Term::size() const noexcept {
  if (data_.file.empty()) return 3 * data_.given_head.size();
  std::size_t bytes = 0;
  for (const EntrySlice& entry : data_.entries) bytes += entry.end - entry.start;
  return bytes;
}

double Term::norm(std::int32_t doc) const {
  if (doc < 0 || static_cast<std::size_t>(doc) >= norms_.size()) {
    throw BeyondNorms("postings name document " + std::to_string(doc) + ", beyond the index's " +
                      std::to_string(norms_.size()));
  }
  return norms_[static_cast<std::size_t>(doc)];
}

double Term::stale_bound(const Counted& posting) const {
  // minisearch.ranking's impact, norm_at_ratio and stale_impact_bound, in their order.
  const double ratio = data_.tier_ratio;
  const double constant = data_.norm_constant;
  const double old_norm =
      constant + (norms_[static_cast<std::size_t>(posting.doc)] - constant) / ratio;
  const double f = static_cast<double>(posting.frequency);
  const double old_impact = (f * ranking_.k1_plus_1) / (f + old_norm);
  if (ratio >= 1.0) return data_.weight * old_impact;
  return data_.weight *
         (ranking_.k1_plus_1 / (1.0 + (ranking_.k1_plus_1 / old_impact - 1.0) * ratio));
}

std::string Term::varint_error_text(const quorbel::Failure& failure) {
  const auto* varint = std::get_if<quorbel::VarintError>(&failure);
  return varint != nullptr && *varint == quorbel::VarintError::too_many_bytes
             ? "Invalid varint encoding: too many bytes"
             : "Invalid varint encoding: unexpected end of data";
}

void Term::damaged(std::size_t entry, const std::string& reason) const {
  throw DamagedEntry(data_.what + ": the entry at byte " +
                     std::to_string(data_.entries[entry].start) + " is damaged: " + reason);
}

ByteSpan Term::entry_bytes(std::size_t entry) const {
  const EntrySlice& slice = data_.entries[entry];
  const ByteSpan bytes =
      data_.file.subspan(slice.start, slice.end - slice.start);  // checked by the binding
  if (slice.unchecked != nullptr) {
    std::atomic_ref<std::uint8_t> flag(*slice.unchecked);
    if (flag.load(std::memory_order_relaxed) != 0) {
      if (crc32(bytes) != slice.crc) damaged(entry, "its CRC-32 is not the term table's");
      flag.store(0, std::memory_order_relaxed);
    }
  }
  return bytes;
}

void Term::refuse_document(std::size_t entry, std::int32_t doc) const {
  if (doc < data_.doc_begin || doc >= data_.doc_end) {
    damaged(entry, "it names documents outside " + std::to_string(data_.doc_begin) + ".." +
                       std::to_string(data_.doc_end - 1));
  }
  norm(doc);
  throw BeyondNorms("postings name document " + std::to_string(doc) + ", beyond the index's " +
                    std::to_string(norms_.size()));
}

void Term::decode(std::size_t entry, std::vector<Counted>& out) {
  out.reserve(quorbel::encoding::count_postings(entry_bytes(entry)));
  decode_each(entry, [&out](const Counted& posting) {
    out.push_back(posting);
    return true;
  });
}

double Term::score(const Counted& posting) {
  ++stats_.postings_scored;
  return term_score(data_.weight, posting.frequency, norms_[static_cast<std::size_t>(posting.doc)],
                    ranking_);
}

namespace {
bool by_doc(const Scored& a, const Scored& b) noexcept { return a.doc < b.doc; }
}  // namespace

const std::vector<Scored>& Term::head() {
  if (head_ready_) return head_;
  if (data_.file.empty()) {
    head_.reserve(data_.given_head.size());
    scan_head([this](const Counted& posting, double score) {
      head_.push_back({posting.doc, score});
      return true;
    });
  } else {
    std::vector<Counted> postings;
    decode(0, postings);
    head_.reserve(postings.size());
    for (const Counted& posting : postings) head_.push_back({posting.doc, score(posting)});
  }
  for (const Scored& posting : head_) head_max_ = std::max(head_max_, posting.score);
  std::sort(head_.begin(), head_.end(), by_doc);
  head_ready_ = true;
  return head_;
}

double Term::head_max() {
  head();
  return head_max_;
}

std::ptrdiff_t Term::chunk_of(std::int32_t doc) const noexcept {
  const auto& firsts = data_.first_docs;
  return std::upper_bound(firsts.begin(), firsts.end(), doc) - firsts.begin() - 1;
}

double Term::doc_bound(std::size_t chunk, std::int32_t doc) const {
  const double by_frequency = term_score(data_.weight, data_.max_f[chunk], norm(doc), ranking_);
  return std::min(by_frequency, chunk_bound(chunk));
}

const std::vector<Counted>& Term::chunk(std::size_t chunk) {
  std::vector<Counted>& postings = chunks_[chunk];
  if (decoded_[chunk] != 0) return postings;
  decode(chunk + 1, postings);
  // Looked up by bisection: a chunk is in document order, or it is damaged.
  for (std::size_t i = 1; i < postings.size(); ++i) {
    if (postings[i].doc <= postings[i - 1].doc)
      damaged(chunk + 1, "its documents are out of order");
  }
  decoded_[chunk] = 1;
  ++stats_.chunks_decoded;
  return postings;
}

namespace {
std::optional<double> find(const std::vector<Scored>& postings, std::int32_t doc) {
  const auto found = std::lower_bound(postings.begin(), postings.end(), Scored{doc, 0.0}, by_doc);
  if (found == postings.end() || found->doc != doc) return std::nullopt;
  return found->score;
}
}  // namespace

std::optional<double> Term::in_head(std::int32_t doc) { return find(head(), doc); }

std::optional<double> Term::in_chunk(std::size_t chunk, std::int32_t doc) {
  const std::vector<Counted>& postings = this->chunk(chunk);
  const auto found = std::lower_bound(postings.begin(), postings.end(), doc,
                                      [](const Counted& a, std::int32_t b) { return a.doc < b; });
  if (found == postings.end() || found->doc != doc) return std::nullopt;
  return score(*found);
}

}  // namespace minisearch::kernels
