#include "phrase_lists.h"

#include <algorithm>
#include <atomic>

#include "crc32.h"
#include "list_cache.h"
#include "terms.h"

namespace minisearch::kernels {
namespace {

using quorbel::ByteSpan;
using quorbel::encoding::Posting;

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

// The postings of an entry, counted on first use (its CRC-32 checked) and kept in the table.
std::size_t count_of(const PhrasePartition& part, std::size_t entry) {
  std::atomic_ref<std::uint32_t> kept(part.counts[entry]);
  std::uint32_t count = kept.load(std::memory_order_relaxed);
  if (count == 0) {
    count = static_cast<std::uint32_t>(quorbel::encoding::count_postings(entry_bytes(part, entry)));
    kept.store(count, std::memory_order_relaxed);
  }
  return count;
}

// Reads one varint at `p` (before `end`) into `value`; false for a malformed one.
inline bool read_varint(const std::uint8_t*& p, const std::uint8_t* end, std::uint64_t& value) {
  if (p < end && *p < 0x80) {  // most are one byte
    value = *p++;
    return true;
  }
  if (end - p >= 5) {  // a few bytes (up to 2^35): a gap, or a frequency
    std::uint64_t result = 0;
    for (int k = 0; k < 5; ++k) {
      result |= std::uint64_t{p[k] & 0x7fu} << (7 * k);
      if (p[k] < 0x80) {
        value = result;
        p += k + 1;
        return true;
      }
    }
  }
  const auto decoded =
      quorbel::encoding::decode_varint(ByteSpan(p, static_cast<std::size_t>(end - p)));
  if (!decoded.ok()) return false;
  value = decoded->value;
  p += decoded->length;
  return true;
}

// An entry's postings, each document checked against the segment.
std::vector<Posting> decode_entry(const PhrasePartition& part, std::size_t entry) {
  // A bound on what the bytes decode to, exact for well-formed ones.
  std::vector<Posting> out(count_of(part, entry));
  const ByteSpan bytes = entry_bytes(part, entry);
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  std::size_t n = 0;
  std::int32_t doc = 0;
  while (p < end) {
    std::uint64_t delta, content, title;
    if (!read_varint(p, end, delta) || !read_varint(p, end, content) ||
        !read_varint(p, end, title) || n == out.size())
      damaged_entry(part, entry, "Invalid varint encoding");
    doc = quorbel::encoding::wrapping_add(doc, static_cast<std::int32_t>(delta));
    if (doc < part.doc_begin || doc >= part.doc_end) {
      damaged_entry(part, entry,
                    "it names documents outside " + std::to_string(part.doc_begin) + ".." +
                        std::to_string(part.doc_end - 1));
    }
    if (static_cast<std::int32_t>(content) < 0 || static_cast<std::int32_t>(title) < 0)
      damaged_entry(part, entry, "a frequency is negative");
    out[n++] = {doc, static_cast<std::int32_t>(content), static_cast<std::int32_t>(title)};
  }
  out.resize(n);
  return out;
}

// Whole lists shorter than this are not kept: merging their head and chunks costs little.
constexpr std::size_t kKeptWhole = 512;

bool by_doc(const Posting& a, const Posting& b) noexcept { return a.doc_id < b.doc_id; }
bool doc_below(const Posting& a, std::int32_t doc) noexcept { return a.doc_id < doc; }

}  // namespace

void damaged_entry(const PhrasePartition& part, std::size_t entry, const std::string& reason) {
  const std::int64_t start = entry < part.starts.size() ? part.starts[entry] : -1;
  throw DamagedEntry(std::string(part.blocks_what) + ": the entry at byte " +
                     std::to_string(start) + " is damaged: " + reason);
}

TermList::TermList(const PhraseTerm& term)
    : part_(*term.partition),
      head_entry_(term.head_entry),
      first_docs_(term.partition->chunk_first_docs.subspan(term.first_chunk, term.entries - 1)),
      chunks_(term.entries - 1) {
  before_.reserve(chunks() + 1);
  before_.push_back(0);
  for (std::size_t c = 0; c < chunks(); ++c)
    before_.push_back(before_.back() + count_of(part_, head_entry_ + 1 + c));
  ListCache& cache = ListCache::shared();
  all_ = cache.find(part_.key, head_entry_, ListCache::Kind::whole);
  if (all_) {
    whole_ = true;
    return;
  }
  head_ = cache.find(part_.key, head_entry_, ListCache::Kind::entry);
  if (head_) return;
  std::vector<Posting> head = decode_entry(part_, head_entry_);
  std::sort(head.begin(), head.end(), by_doc);
  if (std::adjacent_find(head.begin(), head.end(), [](const Posting& a, const Posting& b) {
        return a.doc_id == b.doc_id;
      }) != head.end()) {
    damaged_entry(part_, head_entry_, "a document is in it twice");
  }
  head_ = std::make_shared<const std::vector<Posting>>(std::move(head));
  cache.keep(part_.key, head_entry_, ListCache::Kind::entry, head_);
}

const std::vector<Posting>& TermList::chunk(std::size_t c) {
  List& kept = chunks_[c];
  if (kept) return *kept;
  const std::size_t entry = head_entry_ + 1 + c;
  ListCache& cache = ListCache::shared();
  kept = cache.find(part_.key, entry, ListCache::Kind::entry);
  if (kept) return *kept;
  std::vector<Posting> postings = decode_entry(part_, entry);
  // What the table says of the chunk, which look-ups and ranks rely on.
  if (postings.empty() || postings.size() != before_[c + 1] - before_[c] ||
      postings.front().doc_id != static_cast<std::int32_t>(first_docs_[c]) ||
      (c + 1 < chunks() && postings.back().doc_id >= static_cast<std::int32_t>(first_docs_[c + 1])))
    damaged_entry(part_, entry, "it is not the chunk its term table describes");
  if (std::adjacent_find(postings.begin(), postings.end(), [](const Posting& a, const Posting& b) {
        return a.doc_id >= b.doc_id;
      }) != postings.end()) {
    damaged_entry(part_, entry, "its documents are out of order");
  }
  kept = std::make_shared<const std::vector<Posting>>(std::move(postings));
  cache.keep(part_.key, entry, ListCache::Kind::entry, kept);
  return *kept;
}

std::size_t TermList::chunk_of(std::int32_t doc) const noexcept {
  const auto after = std::upper_bound(
      first_docs_.begin(), first_docs_.end(), doc,
      [](std::int32_t d, std::uint32_t first) { return static_cast<std::int64_t>(d) < first; });
  return after == first_docs_.begin() ? chunks()
                                      : static_cast<std::size_t>(after - first_docs_.begin()) - 1;
}

std::size_t TermList::head_before(std::int32_t doc) const noexcept {
  const std::vector<Posting>& head = *head_;
  return static_cast<std::size_t>(std::lower_bound(head.begin(), head.end(), doc, doc_below) -
                                  head.begin());
}

void TermList::read_all() {
  if (whole_) return;
  std::vector<Posting> all;
  ranks(0, size(), all);
  all_ = std::make_shared<const std::vector<Posting>>(std::move(all));
  whole_ = true;
  if (all_->size() >= kKeptWhole)
    ListCache::shared().keep(part_.key, head_entry_, ListCache::Kind::whole, all_);
}

const Posting* TermList::find(std::int32_t doc, std::size_t& rank) {
  if (whole_) {
    const std::vector<Posting>& all = *all_;
    if (cursor_ > 0 && all[cursor_ - 1].doc_id >= doc) cursor_ = 0;  // asked out of order
    std::size_t step = 1;  // a gallop from the last look-up, then a bisection
    std::size_t low = cursor_;
    std::size_t high = cursor_;
    while (high < all.size() && all[high].doc_id < doc) {
      low = high + 1;
      high = std::min(all.size(), high + step);
      step *= 2;
    }
    cursor_ = static_cast<std::size_t>(
        std::lower_bound(all.begin() + static_cast<std::ptrdiff_t>(low),
                         all.begin() + static_cast<std::ptrdiff_t>(high), doc, doc_below) -
        all.begin());
    rank = cursor_;
    return cursor_ < all.size() && all[cursor_].doc_id == doc ? &all[cursor_] : nullptr;
  }
  const std::size_t h = head_before(doc);
  const std::vector<Posting>& head = *head_;
  const Posting* found = h < head.size() && head[h].doc_id == doc ? &head[h] : nullptr;
  rank = h;
  const std::size_t c = chunk_of(doc);
  if (c == chunks()) return found;
  const std::vector<Posting>& postings = chunk(c);
  const auto at = std::lower_bound(postings.begin(), postings.end(), doc, doc_below);
  rank += before_[c] + static_cast<std::size_t>(at - postings.begin());
  if (at == postings.end() || at->doc_id != doc) return found;
  if (found != nullptr) damaged_entry(part_, head_entry_, "a document is in it twice");
  return &*at;
}

std::span<const Posting> TermList::ranks(std::size_t begin, std::size_t end) {
  if (whole_ || chunks() == 0) {
    const std::vector<Posting>& all = whole_ ? *all_ : *head_;
    if (end > all.size()) damaged_entry(part_, head_entry_, "it holds fewer postings");
    return std::span<const Posting>(all).subspan(begin, end - begin);
  }
  ranks(begin, end, run_);
  return run_;
}

void TermList::ranks(std::size_t begin, std::size_t end, std::vector<Posting>& out) {
  out.clear();
  // From the start of the last chunk that starts at `begin` or before (or from the very start).
  std::size_t low = 0;
  std::size_t high = chunks();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (chunk_rank(middle) <= begin)
      low = middle + 1;
    else
      high = middle;
  }
  std::size_t next_chunk = low == 0 ? 0 : low - 1;
  std::size_t rank = low == 0 ? 0 : chunk_rank(next_chunk);
  const Posting* head =
      head_->data() +
      (low == 0 ? 0 : head_before(static_cast<std::int32_t>(first_docs_[next_chunk])));
  const Posting* const head_end = head_->data() + head_->size();
  const Posting* at = nullptr;  // the rest of the chunk being merged
  const Posting* chunk_end = nullptr;
  out.reserve(end - begin);
  for (; rank < end; ++rank) {
    if (at == chunk_end && next_chunk < chunks()) {
      const std::vector<Posting>& postings = chunk(next_chunk++);
      at = postings.data();
      chunk_end = at + postings.size();
    }
    const Posting* next;
    if (at != chunk_end && (head == head_end || at->doc_id < head->doc_id)) {
      next = at++;
    } else if (head != head_end) {
      if (at != chunk_end && at->doc_id == head->doc_id)
        damaged_entry(part_, head_entry_, "a document is in it twice");
      next = head++;
    } else {
      damaged_entry(part_, head_entry_, "it holds fewer postings");
    }
    if (rank >= begin) out.push_back(*next);
  }
}

const std::vector<Posting>& TermList::all() {
  if (whole_) return *all_;
  if (chunks() == 0) return *head_;
  read_all();
  return *all_;
}

}  // namespace minisearch::kernels
