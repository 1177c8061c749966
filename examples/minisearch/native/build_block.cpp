#include "build_block.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

#include "crc32.h"
#include "encoding/varint.h"

namespace minisearch::kernels {

using quorbel::encoding::Posting;

namespace {

// Postings per run of a positions file (minisearch.positions.RUN), and the kinds of run written.
constexpr std::size_t kRun = 128;
constexpr std::uint8_t kSmallRun = 0;   // gaps as bytes
constexpr std::uint8_t kVarintRun = 2;  // gaps as varints

// Each byte's lower-case form when it is an ASCII letter or digit, else 0.
constexpr std::array<char, 256> kTermBytes = [] {
  std::array<char, 256> table{};
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<char>(c);
  for (int c = 'a'; c <= 'z'; ++c) table[c] = table[c - 'a' + 'A'] = static_cast<char>(c);
  return table;
}();

template <class T>
void append_le(std::string& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void append_varint(std::string& out, std::uint64_t value) {
  std::uint8_t bytes[quorbel::encoding::kMaxVarintBytes];
  const std::uint8_t* end = quorbel::encoding::write_varint(value, bytes);
  out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
}

}  // namespace

void ascii_terms(std::string_view text, std::size_t max_length, TermInterner& terms,
                 std::vector<std::uint32_t>& ids) {
  char term[256];
  const std::size_t limit = std::min<std::size_t>(max_length, sizeof term);
  const char* at = text.data();
  const char* const end = at + text.size();
  while (at < end) {
    while (at < end && kTermBytes[static_cast<std::uint8_t>(*at)] == 0) ++at;
    // The run is lower-cased and hashed as it is read; a run longer than the limit is skipped.
    std::size_t length = 0;
    std::uint64_t hash = TermInterner::kHashStart;
    for (char c; at < end && (c = kTermBytes[static_cast<std::uint8_t>(*at)]) != 0;
         ++at, ++length) {
      if (length < limit) {
        term[length] = c;
        hash = TermInterner::hash_step(hash, static_cast<std::uint8_t>(c));
      }
    }
    if (length == 0 || length > limit) continue;
    ids.push_back(terms.intern(std::string_view(term, length), TermInterner::hash_end(hash)));
  }
}

void BlockBuilder::add_document(std::span<const std::uint32_t> title,
                                std::span<const std::uint32_t> content) {
  const std::int32_t doc = next_doc_++;
  const std::size_t known = terms_.size();
  if (lists_.size() < known) lists_.resize(known);
  if (seen_in_.size() < known) {
    seen_in_.resize(known, -1);
    slot_of_.resize(known);
  }
  doc_terms_.clear();
  content_freq_.clear();
  title_freq_.clear();
  auto slot = [&](std::uint32_t id) {
    if (seen_in_[id] != doc) {
      seen_in_[id] = doc;
      slot_of_[id] = static_cast<std::uint32_t>(doc_terms_.size());
      doc_terms_.push_back(id);
      content_freq_.push_back(0);
      title_freq_.push_back(0);
    }
    return slot_of_[id];
  };
  for (const std::uint32_t id : content) ++content_freq_[slot(id)];
  for (const std::uint32_t id : title) ++title_freq_[slot(id)];
  for (std::size_t s = 0; s < doc_terms_.size(); ++s) {
    TermLists& lists = lists_[doc_terms_[s]];
    const auto content_freq = static_cast<std::int32_t>(content_freq_[s]);
    const auto title_freq = static_cast<std::int32_t>(title_freq_[s]);
    lists.postings.push_back(Posting{doc, content_freq, title_freq});
    lists.content_docs += content_freq != 0;
    lists.title_docs += title_freq != 0;
    lists.gap_count +=
        static_cast<std::uint64_t>(content_freq) + static_cast<std::uint64_t>(title_freq);
  }
  postings_ += doc_terms_.size();
  if (positions_) place(title, content);
}

// Each of the document's terms' gaps, appended to doc_gaps_ term by term in the order of its
// terms: a term's title positions, then its content positions, each field's counted from 0 and
// given as the gap from the one before.
void BlockBuilder::place(std::span<const std::uint32_t> title,
                         std::span<const std::uint32_t> content) {
  const std::size_t count = doc_terms_.size();
  offsets_.resize(count + 1);
  offsets_[0] = 0;
  for (std::size_t s = 0; s < count; ++s)
    offsets_[s + 1] = offsets_[s] + title_freq_[s] + content_freq_[s];
  placed_.resize(offsets_[count]);
  // offsets_[s] walks through term s's title positions, then its content positions.
  for (std::uint32_t position = 0; position < title.size(); ++position)
    placed_[offsets_[slot_of_[title[position]]]++] = position;
  for (std::uint32_t position = 0; position < content.size(); ++position)
    placed_[offsets_[slot_of_[content[position]]]++] = position;
  const std::size_t at = doc_gaps_.size();
  doc_gaps_.resize(at + placed_.size());
  std::uint32_t start = 0;
  for (std::size_t s = 0; s < count; ++s) {
    const std::uint32_t middle = start + title_freq_[s];
    const std::uint32_t end = offsets_[s];
    std::uint32_t previous = 0;
    for (std::uint32_t i = start; i < end; ++i) {
      if (i == middle) previous = 0;
      doc_gaps_[at + i] = placed_[i] - previous;
      previous = placed_[i];
    }
    start = end;
  }
  placed_terms_.insert(placed_terms_.end(), doc_terms_.begin(), doc_terms_.end());
  for (std::size_t s = 0; s < count; ++s)
    placed_counts_.push_back(title_freq_[s] + content_freq_[s]);
}

// The gaps of doc_gaps_ regrouped term by term: each term's, in document order, from
// term_gaps_[gaps_start_[id]] on (one pass, each term's share written where the sizes put it).
void BlockBuilder::group_gaps() {
  gaps_start_.assign(lists_.size() + 1, 0);
  for (std::size_t id = 0; id < lists_.size(); ++id)
    gaps_start_[id + 1] = gaps_start_[id] + lists_[id].gap_count;
  term_gaps_.resize(gaps_start_.back());
  std::vector<std::uint64_t> cursor(gaps_start_.begin(), gaps_start_.end() - 1);
  std::size_t read = 0;
  for (std::size_t k = 0; k < placed_terms_.size(); ++k) {
    const std::uint32_t id = placed_terms_[k];
    const std::size_t count = placed_counts_[k];
    std::memcpy(term_gaps_.data() + cursor[id], doc_gaps_.data() + read,
                count * sizeof(std::uint32_t));
    cursor[id] += count;
    read += count;
  }
  std::vector<std::uint32_t>().swap(doc_gaps_);
  std::vector<std::uint32_t>().swap(placed_terms_);
  std::vector<std::uint32_t>().swap(placed_counts_);
}

std::vector<PartitionFiles> BlockBuilder::finish(std::size_t partitions,
                                                 const Compressor& compress) {
  if (positions_) group_gaps();
  const std::vector<std::uint32_t> order = sorted_ids(terms_);
  std::vector<std::vector<std::uint32_t>> by_partition(std::max<std::size_t>(partitions, 1));
  for (const std::uint32_t id : order) {
    const std::string_view text = terms_.text(id);
    const std::size_t partition =
        partitions > 1 ? crc32(quorbel::ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()),
                                                 text.size())) %
                             partitions
                       : 0;
    by_partition[partition].push_back(id);
  }
  std::vector<PartitionFiles> files(by_partition.size());
  std::string encoded;
  for (std::size_t p = 0; p < by_partition.size(); ++p) {
    const std::vector<std::uint32_t>& ids = by_partition[p];
    std::string& out = files[p].postings;
    files[p].terms = ids.size();
    append_le<std::uint64_t>(out, ids.size());
    PositionsWriter positions;
    // The terms come in the order of their text, their lists scattered: each term's lists are
    // fetched a few terms ahead, and its entry and its positions written in one visit.
    constexpr std::size_t kAhead = 8;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      if (i + kAhead < ids.size()) __builtin_prefetch(&lists_[ids[i + kAhead]]);
      if (i + kAhead / 2 < ids.size()) {
        const TermLists& next = lists_[ids[i + kAhead / 2]];
        __builtin_prefetch(next.postings.data());
        if (positions_) __builtin_prefetch(term_gaps_.data() + gaps_start_[ids[i + kAhead / 2]]);
      }
      const TermLists& lists = lists_[ids[i]];
      const std::string_view text = terms_.text(ids[i]);
      encoded.resize(quorbel::encoding::encoded_size(lists.postings));
      quorbel::encoding::write_postings(lists.postings,
                                        reinterpret_cast<std::uint8_t*>(encoded.data()));
      append_le<std::uint32_t>(out, static_cast<std::uint32_t>(text.size()));
      out.append(text);
      append_varint(out, lists.content_docs);
      append_varint(out, lists.title_docs);
      append_varint(out, encoded.size());
      out.append(encoded);
      if (positions_)
        positions.add_term(lists.postings,
                           std::span(term_gaps_).subspan(gaps_start_[ids[i]], lists.gap_count));
    }
    if (positions_) files[p].positions = std::move(positions).finish(compress);
  }
  return files;
}

// Each run of kRun postings: its kind, then its gaps as bytes when all are below 256, else as
// varints.
void BlockBuilder::PositionsWriter::add_term(std::span<const Posting> postings,
                                             std::span<const std::uint32_t> gaps) {
  std::size_t gap = 0;
  for (std::size_t first = 0; first < postings.size(); first += kRun) {
    const std::size_t last = std::min(first + kRun, postings.size());
    std::size_t count = 0;
    for (std::size_t i = first; i < last; ++i)
      count += static_cast<std::size_t>(postings[i].content_freq) +
               static_cast<std::size_t>(postings[i].title_freq);
    const std::span<const std::uint32_t> run = gaps.subspan(gap, count);
    gap += count;
    std::uint32_t widest = 0;
    for (const std::uint32_t value : run) widest |= value;
    if (widest < 256) {
      const std::size_t at = out_.size();
      out_.resize(at + 1 + run.size());
      out_[at] = static_cast<char>(kSmallRun);
      std::transform(run.begin(), run.end(), out_.begin() + static_cast<std::ptrdiff_t>(at + 1),
                     [](std::uint32_t value) { return static_cast<char>(value); });
    } else {
      out_.push_back(static_cast<char>(kVarintRun));
      for (const std::uint32_t value : run) append_varint(out_, value);
    }
    index_.run_counts.push_back(static_cast<std::uint32_t>(last));
    index_.run_ends.push_back(out_.size());
  }
  index_.term_runs.push_back(static_cast<std::uint32_t>(index_.run_ends.size()));
}

std::string BlockBuilder::PositionsWriter::finish(const Compressor& compress) && {
  const std::string index = index_.payload();
  const std::uint64_t start = out_.size();
  out_ += compress(std::span(reinterpret_cast<const std::uint8_t*>(index.data()), index.size()));
  append_le(out_, start);
  return std::move(out_);
}

}  // namespace minisearch::kernels
