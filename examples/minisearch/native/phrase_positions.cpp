#include "phrase_positions.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "terms.h"

namespace minisearch::kernels {

namespace {

using quorbel::ByteSpan;
using quorbel::encoding::Posting;

constexpr std::size_t kMagicSize = 4;  // b"MSP1" starts a positions file
// A run's kind: its gaps as bytes, as deflated little-endian 32-bit words (indexes before version
// 6), or as varints of at most kVarintBytes bytes (32 bits, 7 to a byte).
constexpr std::uint8_t kSmallRun = 0;
constexpr std::uint8_t kDeflatedRun = 1;
constexpr std::uint8_t kVarintRun = 2;
constexpr std::uint32_t kVarintBytes = 5;

[[noreturn]] void damaged_positions(const PhrasePartition& part, const std::string& reason) {
  throw DamagedEntry(std::string(part.positions_what) + ": " + reason);
}

// A raw deflate decompressor, reset for each run: zlib's state and window are set up once per
// thread.
class Inflater {
 public:
  Inflater() {
    if (inflateInit2(&stream_, -15) != Z_OK) throw std::bad_alloc();
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() { inflateEnd(&stream_); }

  static Inflater& of_thread() {
    thread_local Inflater inflater;
    return inflater;
  }

  // Inflates `body` into `out`, at most its size; returns zlib's status and sets `produced`.
  int inflate_into(ByteSpan body, std::vector<std::uint8_t>& out, std::size_t& produced) {
    if (inflateReset(&stream_) != Z_OK) throw std::bad_alloc();
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
};

// Runs decoded lately, by partition and run (the runs of common words recur from query to
// query), direct-mapped, shared by every thread of the process under a lock held only to look a
// slot up or fill it. A run is shared with the readers that loaded it: another run may take its
// slot.
class RunCache {
 public:
  using Words = std::shared_ptr<const std::vector<std::uint32_t>>;

  static RunCache& shared() {
    static RunCache* const cache = new RunCache();  // never destroyed: threads may outlive exit
    return *cache;
  }

  // The run's words, or null.
  Words find(std::uint64_t partition, std::size_t run) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Slot& slot = slots_[slot_of(partition, run)];
    return slot.partition == partition && slot.run == run ? slot.words : nullptr;
  }

  void keep(std::uint64_t partition, std::size_t run, Words words) {
    if (words->size() > kLargestRun) return;
    Words dropped;  // freed once the lock is let go
    const std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[slot_of(partition, run)];
    slot.partition = partition;
    slot.run = run;
    dropped = std::exchange(slot.words, std::move(words));
  }

 private:
  static constexpr std::size_t kSlots = 512;
  static constexpr std::size_t kLargestRun = 4096;  // words: at most 8 MB in all

  struct Slot {
    std::uint64_t partition = 0;  // none: keys start at 1
    std::size_t run = 0;
    Words words;
  };

  static std::size_t slot_of(std::uint64_t partition, std::size_t run) noexcept {
    return static_cast<std::size_t>((partition * 0x9E3779B97F4A7C15ull) >> 40 ^ run) % kSlots;
  }

  std::mutex mutex_;
  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
};

}  // namespace

PositionReader::PositionReader(const PhraseTerm& term) : part_(term.partition), list_(term) {
  const PhrasePartition& part = *part_;
  first_run_ = part.term_runs[term.term];
  end_run_ = part.term_runs[term.term + 1];
  if (first_run_ > end_run_ || end_run_ > part.run_counts.size())
    damaged_positions(part, "its index does not match its runs");
  const std::size_t held = end_run_ > first_run_ ? part.run_counts[end_run_ - 1] : 0;
  if (held != list_.size()) {
    damaged_positions(part, "a term's runs hold " + std::to_string(held) +
                                " postings, its posting list " + std::to_string(list_.size()));
  }
  run_ = first_run_;
}

const Posting& PositionReader::seek(std::size_t rank) {
  if (!loaded_ || rank >= rank_end_) load_run_of(rank);
  if (rank < rank_begin_ || rank >= rank_end_)  // runs whose counts do not ascend
    damaged_positions(*part_, "its index does not match its runs");
  while (cursor_rank_ < rank) {
    const Posting& p = run_postings_[cursor_rank_++ - rank_begin_];
    cursor_gap_ +=
        static_cast<std::size_t>(p.title_freq) + static_cast<std::size_t>(p.content_freq);
  }
  return run_postings_[rank - rank_begin_];
}

void PositionReader::read(std::size_t rank, Places& out, bool title, bool content) {
  const Posting& p = seek(rank);
  const auto title_freq = static_cast<std::size_t>(p.title_freq);
  if (title) accumulate(cursor_gap_, title_freq, out.title);
  if (content)
    accumulate(cursor_gap_ + title_freq, static_cast<std::size_t>(p.content_freq), out.content);
}

PositionReader::Gaps PositionReader::gaps(std::size_t rank, bool title) {
  const Posting& p = seek(rank);
  const auto title_freq = static_cast<std::size_t>(p.title_freq);
  const std::size_t from = title ? cursor_gap_ : cursor_gap_ + title_freq;
  const std::size_t count = title ? title_freq : static_cast<std::size_t>(p.content_freq);
  if (small_ != nullptr) return {small_ + from, nullptr, count};
  return {nullptr, wide_->data() + from, count};
}

void PositionReader::accumulate(std::size_t from, std::size_t count,
                                std::vector<std::int64_t>& out) {
  out.resize(count);
  std::int64_t position = 0;
  std::int64_t* into = out.data();
  if (small_ != nullptr) {
    const std::uint8_t* gaps = small_ + from;
    for (std::size_t i = 0; i < count; ++i) into[i] = position += gaps[i];
  } else {
    const std::uint32_t* gaps = wide_->data() + from;
    for (std::size_t i = 0; i < count; ++i) into[i] = position += gaps[i];
  }
}

void PositionReader::load_run_of(std::size_t rank) {
  const PhrasePartition& part = *part_;
  const auto counts = part.run_counts.subspan(run_, end_run_ - run_);
  run_ += static_cast<std::size_t>(
      std::upper_bound(counts.begin(), counts.end(), static_cast<std::uint32_t>(rank)) -
      counts.begin());
  if (run_ >= end_run_) damaged_positions(part, "its index does not match its runs");
  rank_begin_ = run_ > first_run_ ? part.run_counts[run_ - 1] : 0;
  rank_end_ = part.run_counts[run_];
  if (rank_begin_ >= rank_end_ || rank_end_ > list_.size())
    damaged_positions(part, "its index does not match its runs");
  run_postings_ = list_.ranks(rank_begin_, rank_end_);
  std::uint64_t total = 0;
  for (const Posting& p : run_postings_)
    total += static_cast<std::uint64_t>(p.title_freq) + static_cast<std::uint64_t>(p.content_freq);
  const std::uint64_t start = run_ > 0 ? part.run_ends[run_ - 1] : kMagicSize;
  const std::uint64_t end = part.run_ends[run_];
  if (start < kMagicSize || end <= start || end > part.positions.size())
    damaged_positions(part, "its index does not match its runs");
  const ByteSpan bytes = part.positions.subspan(start, end - start);
  const ByteSpan body = bytes.subspan(1);
  if (bytes[0] == kSmallRun) {
    small_ = body.data();
    check_size(body.size(), total);
  } else if (bytes[0] == kDeflatedRun || bytes[0] == kVarintRun) {
    small_ = nullptr;
    load_wide_run(bytes[0] == kVarintRun, body, total);
  } else {
    damaged_positions(part, "a run of an unknown kind");
  }
  cursor_rank_ = rank_begin_;
  cursor_gap_ = 0;
  loaded_ = true;
}

void PositionReader::load_wide_run(bool varints, ByteSpan body, std::uint64_t total) {
  if (total > (std::numeric_limits<std::uint32_t>::max() / 4))
    damaged_positions(*part_, "a run holds too many positions");
  RunCache& cache = RunCache::shared();
  if (RunCache::Words kept = cache.find(part_->key, run_)) {
    if (kept->size() == total) {
      wide_ = std::move(kept);
      return;
    }
  }
  std::vector<std::uint32_t> words = varints ? varint_gaps(body) : inflated_gaps(body, total);
  check_size(words.size(), total);
  wide_ = std::make_shared<const std::vector<std::uint32_t>>(std::move(words));
  cache.keep(part_->key, run_, wide_);
}

// As minisearch.positions reads them: each varint of at most kVarintBytes bytes and 32 bits, the
// last one whole.
std::vector<std::uint32_t> PositionReader::varint_gaps(ByteSpan body) const {
  std::vector<std::uint32_t> gaps;
  gaps.reserve(body.size());
  std::uint64_t value = 0;
  std::uint32_t shift = 0;
  for (const std::uint8_t byte : body) {
    value |= std::uint64_t{byte & 0x7Fu} << shift;
    if ((byte & 0x80) != 0) {
      shift += 7;
      if (shift == 7 * kVarintBytes)
        damaged_positions(*part_, "a run is damaged (a gap of over 5 bytes)");
      continue;
    }
    if (value > std::numeric_limits<std::uint32_t>::max())
      damaged_positions(*part_, "a run is damaged (a gap beyond 32 bits)");
    gaps.push_back(static_cast<std::uint32_t>(value));
    value = 0;
    shift = 0;
  }
  if (shift != 0) damaged_positions(*part_, "a run is damaged (its last gap is cut short)");
  return gaps;
}

std::vector<std::uint32_t> PositionReader::inflated_gaps(ByteSpan body, std::uint64_t total) {
  raw_.resize(static_cast<std::size_t>(total) * 4 + 4);  // one word too many: a longer run shows
  std::size_t produced = 0;
  Inflater& inflater = Inflater::of_thread();
  const int status = inflater.inflate_into(body, raw_, produced);
  if (status != Z_STREAM_END) {
    if (produced == raw_.size()) check_size(total + 1, total);  // more than its postings hold
    damaged_positions(*part_, "a run is damaged (" + inflater.message() + ")");
  }
  if (produced % 4 != 0) damaged_positions(*part_, "a run is damaged (a partial word)");
  std::vector<std::uint32_t> words(produced / 4);
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::uint8_t* word = raw_.data() + 4 * i;
    words[i] = std::uint32_t{word[0]} | std::uint32_t{word[1]} << 8 | std::uint32_t{word[2]} << 16 |
               std::uint32_t{word[3]} << 24;
  }
  return words;
}

void PositionReader::check_size(std::uint64_t held, std::uint64_t total) const {
  if (held != total) {
    damaged_positions(*part_, "a run holds " + std::to_string(held) + " positions, its postings " +
                                  std::to_string(total));
  }
}

}  // namespace minisearch::kernels
