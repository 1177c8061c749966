#include "build_merge.h"

#include <algorithm>
#include <cerrno>
#include <numeric>

#include "blockfile/format.h"
#include "crc32.h"
#include "encoding/postings.h"
#include "encoding/varint.h"

namespace minisearch::kernels {

using quorbel::ByteSpan;
using quorbel::encoding::Posting;
using quorbel::encoding::PostingArray;

namespace {

constexpr std::size_t kPositionsMagicBytes = 4;

// Reads a block file's fields in order; every read is checked against the end.
class Cursor {
 public:
  Cursor(ByteSpan bytes, std::size_t input) : bytes_(bytes), input_(input) {}
  bool done() const noexcept { return at_ == bytes_.size(); }
  ByteSpan take(std::size_t count) {
    if (count > bytes_.size() - at_) fail("cut short");
    const ByteSpan piece = bytes_.subspan(at_, count);
    at_ += count;
    return piece;
  }
  std::uint64_t varint() {
    const auto decoded = quorbel::encoding::decode_varint(bytes_.subspan(at_));
    if (!decoded.ok()) fail("a damaged varint");
    at_ += decoded->length;
    return decoded->value;
  }
  [[noreturn]] void fail(const std::string& what) const { throw DamagedInput(input_, what); }

 private:
  ByteSpan bytes_;
  std::size_t at_ = 0;
  std::size_t input_;
};

void append_varint(std::string& out, std::uint64_t value) {
  std::uint8_t bytes[quorbel::encoding::kMaxVarintBytes];
  const std::uint8_t* end = quorbel::encoding::write_varint(value, bytes);
  out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(end - bytes));
}

void append_postings(std::string& out, std::span<const Posting> postings, std::int32_t previous) {
  const std::size_t start = out.size();
  out.resize(start + postings.size() * quorbel::encoding::kMaxPostingBytes);
  std::uint8_t* end = quorbel::encoding::write_postings(
      postings, reinterpret_cast<std::uint8_t*>(out.data()) + start, previous);
  out.resize(static_cast<std::size_t>(end - reinterpret_cast<std::uint8_t*>(out.data())));
}

template <class T>
void append_le(std::string& out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

template <class T>
T load_le(const std::uint8_t* in) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(in[i]) << (8 * i);
  return value;
}

void write_out(std::FILE* out, std::string_view bytes) {
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
    throw WriteFailed{errno};
}

std::uint32_t crc_of(std::string_view bytes) {
  return crc32(ByteSpan(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// Writes one entry of a block file and adds its layout to `table`.
class EntryWriter {
 public:
  EntryWriter(std::FILE* out, MergedTable& table) : out_(out), table_(table) {}

  void add(std::string_view name, std::span<const Posting> postings) {
    std::uint64_t content = 0, title = 0;
    for (const Posting& posting : postings) {
      content += posting.content_freq != 0;
      title += posting.title_freq != 0;
    }
    encoded_.clear();
    append_postings(encoded_, postings, 0);
    add_encoded(name, content, title, encoded_);
  }

  void add_encoded(std::string_view name, std::uint64_t content, std::uint64_t title,
                   std::string_view encoded) {
    header_.clear();
    append_le<std::uint32_t>(header_, static_cast<std::uint32_t>(name.size()));
    header_.append(name);
    append_varint(header_, content);
    append_varint(header_, title);
    append_varint(header_, encoded.size());
    table_.gaps.push_back(static_cast<std::uint32_t>(header_.size()));
    table_.sizes.push_back(static_cast<std::uint32_t>(encoded.size()));
    table_.crcs.push_back(crc_of(encoded));
    table_.file_size += header_.size() + encoded.size();
    buffer_ += header_;
    buffer_ += encoded;
    if (buffer_.size() >= (1u << 20)) flush();
  }

  void flush() {
    write_out(out_, buffer_);
    buffer_.clear();
  }

 private:
  std::FILE* out_;
  MergedTable& table_;
  std::string header_, encoded_, buffer_;
};

}  // namespace

void PartitionMerger::add_block(ByteSpan file, std::size_t terms) {
  const std::size_t input = input_terms_.size();
  Cursor cursor(file, input);
  const std::uint64_t announced =
      load_le<std::uint64_t>(cursor.take(quorbel::blockfile::kHeaderBytes).data());
  std::vector<std::uint32_t>& ids = input_terms_.emplace_back();
  ids.reserve(terms);
  PostingArray postings;
  std::string_view previous_term;
  for (std::size_t entry = 0; !cursor.done(); ++entry) {
    const std::uint32_t length = load_le<std::uint32_t>(cursor.take(4).data());
    const ByteSpan name = cursor.take(length);
    const std::string_view term(reinterpret_cast<const char*>(name.data()), name.size());
    if (entry > 0 && !(previous_term < term)) cursor.fail("its terms are not in order");
    previous_term = term;
    const std::uint64_t content = cursor.varint();
    const std::uint64_t title = cursor.varint();
    const ByteSpan bytes = cursor.take(cursor.varint());
    postings.clear();
    if (!quorbel::encoding::decode_postings_into(bytes, postings).ok())
      cursor.fail("a damaged posting list");
    if (postings.size() == 0) cursor.fail("a term without postings");
    const std::span<const Posting> list = postings.span();
    for (std::size_t i = 1; i < list.size(); ++i)
      if (list[i].doc_id <= list[i - 1].doc_id) cursor.fail("a posting list out of order");
    const std::uint32_t id = terms_.intern(term);
    ids.push_back(id);
    if (id == joined_.size()) joined_.emplace_back();
    Joined& joined = joined_[id];
    if (joined.postings != 0 && list.front().doc_id <= joined.last_doc)
      cursor.fail("its documents do not follow the inputs' before it");
    append_postings(joined.data, list, joined.postings != 0 ? joined.last_doc : 0);
    joined.last_doc = list.back().doc_id;
    joined.postings += list.size();
    joined.content += content;
    joined.title += title;
  }
  if (ids.size() != announced)
    cursor.fail("header announces " + std::to_string(announced) + " terms, the file holds " +
                std::to_string(ids.size()));
  if (ids.size() != terms)
    cursor.fail("it holds " + std::to_string(ids.size()) + " terms, the worker wrote " +
                std::to_string(terms));
}

void PartitionMerger::add_positions(ByteSpan file, ByteSpan index) {
  const std::size_t input = positions_.size();
  if (input + 1 != input_terms_.size()) throw DamagedInput(input, "positions without their block");
  Cursor cursor(index, input);
  const std::uint32_t terms = load_le<std::uint32_t>(cursor.take(4).data());
  const std::uint32_t runs = load_le<std::uint32_t>(cursor.take(4).data());
  if (terms != input_terms_[input].size())
    cursor.fail("its positions hold " + std::to_string(terms) + " terms, its block file " +
                std::to_string(input_terms_[input].size()));
  PositionsInput& positions = positions_.emplace_back();
  positions.file = file;
  auto read = [&](auto& values, std::size_t count) {
    using T = typename std::remove_reference_t<decltype(values)>::value_type;
    const ByteSpan bytes = cursor.take(count * sizeof(T));
    values.resize(count);
    for (std::size_t i = 0; i < count; ++i) values[i] = load_le<T>(bytes.data() + i * sizeof(T));
  };
  read(positions.term_runs, std::size_t{terms} + 1);
  read(positions.run_counts, runs);
  read(positions.run_ends, runs);
  const std::uint64_t index_start =
      file.size() >= 8 ? load_le<std::uint64_t>(file.data() + file.size() - 8) : 0;
  if (positions.term_runs.front() != 0 || positions.term_runs.back() != runs ||
      !std::is_sorted(positions.term_runs.begin(), positions.term_runs.end()) ||
      !std::is_sorted(positions.run_ends.begin(), positions.run_ends.end()) ||
      (runs != 0 && (positions.run_ends.front() <= kPositionsMagicBytes ||
                     positions.run_ends.back() != index_start)) ||
      index_start > file.size())
    cursor.fail("its positions' index does not match its runs");
}

MergedTable PartitionMerger::write_postings(std::FILE* out, std::span<const double> norms,
                                            std::span<const std::uint32_t> lengths,
                                            const MergeSettings& settings) {
  MergedTable table;
  order_ = sorted_ids(terms_);
  std::string header(quorbel::blockfile::kHeaderBytes, '\0');
  write_out(out, header);  // the entry count, written once it is known
  table.file_size = header.size();
  EntryWriter writer(out, table);
  PostingArray postings;
  std::vector<double> impacts;
  std::vector<std::uint32_t> ranked, head;
  std::vector<Posting> picked;
  std::string name;
  std::uint64_t entries = 0;
  const double k1_plus_1 = settings.k1 + 1.0;
  for (const std::uint32_t id : order_) {
    Joined& joined = joined_[id];
    const std::string_view term = terms_.text(id);
    table.terms.emplace_back(term);
    table.doc_freq.push_back(static_cast<std::uint32_t>(joined.postings));
    table.postings += joined.postings;
    if (joined.postings <= settings.head_size) {
      writer.add_encoded(term, joined.content, joined.title, joined.data);
      table.chunk_count.push_back(0);
      ++entries;
      std::string().swap(joined.data);
      continue;
    }
    postings.clear();
    if (!quorbel::encoding::decode_postings_into(
             ByteSpan(reinterpret_cast<const std::uint8_t*>(joined.data.data()),
                      joined.data.size()),
             postings)
             .ok())
      throw DamagedInput(DamagedInput::kWhole, "a joined list does not decode");
    std::string().swap(joined.data);
    const std::span<const Posting> list = postings.span();
    const std::size_t count = list.size();
    impacts.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::int64_t local = std::int64_t{list[i].doc_id} - settings.first_doc;
      if (local < 0 || static_cast<std::uint64_t>(local) >= norms.size() ||
          static_cast<std::uint64_t>(local) >= lengths.size())
        throw DamagedInput(DamagedInput::kWhole, "a posting names a document beyond the segment");
      const double frequency = static_cast<double>(
          list[i].content_freq + settings.title_weight * std::int64_t{list[i].title_freq});
      impacts[i] = (frequency * k1_plus_1) / (frequency + norms[static_cast<std::size_t>(local)]);
    }
    // The head: the largest impacts, largest first, ties in document order.
    const std::size_t size =
        std::min(count, std::max(settings.head_size, count / settings.head_divisor));
    ranked.resize(count);
    std::iota(ranked.begin(), ranked.end(), 0u);
    auto better = [&](std::uint32_t a, std::uint32_t b) {
      return impacts[a] > impacts[b] || (impacts[a] == impacts[b] && a < b);
    };
    std::nth_element(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(size),
                     ranked.end(), better);
    head.assign(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(size));
    std::sort(head.begin(), head.end(), better);
    picked.clear();
    for (const std::uint32_t at : head) picked.push_back(list[at]);
    writer.add(term, picked);
    ++entries;
    std::vector<bool> in_head(count, false);
    for (const std::uint32_t at : head) in_head[at] = true;
    std::size_t chunks = 0;
    picked.clear();
    double best = 0.0;
    std::int64_t max_f = 0;
    std::uint32_t min_length = 0;
    auto close_chunk = [&] {
      ++chunks;
      name.assign(term);
      name += '#';
      name += std::to_string(chunks);
      writer.add(name, picked);
      ++entries;
      table.chunk_first_doc.push_back(static_cast<std::uint32_t>(picked.front().doc_id));
      table.chunk_max_f.push_back(static_cast<std::uint32_t>(max_f));
      table.chunk_min_length.push_back(min_length);
      table.chunk_impact.push_back(best);
      picked.clear();
    };
    for (std::size_t i = 0; i < count; ++i) {
      if (in_head[i]) continue;
      const Posting& posting = list[i];
      const std::int64_t frequency =
          posting.content_freq + settings.title_weight * std::int64_t{posting.title_freq};
      const std::uint32_t length =
          lengths[static_cast<std::size_t>(posting.doc_id - settings.first_doc)];
      if (picked.empty() || impacts[i] > best) best = impacts[i];
      if (picked.empty() || frequency > max_f) max_f = frequency;
      if (picked.empty() || length < min_length) min_length = length;
      picked.push_back(posting);
      if (picked.size() == settings.chunk_size) close_chunk();
    }
    if (!picked.empty()) close_chunk();
    table.chunk_count.push_back(static_cast<std::uint32_t>(chunks));
  }
  writer.flush();
  std::string count;
  append_le<std::uint64_t>(count, entries);
  if (std::fseek(out, 0, SEEK_SET) != 0) throw WriteFailed{errno};
  write_out(out, count);
  if (std::fflush(out) != 0) throw WriteFailed{errno};
  return table;
}

std::uint64_t PartitionMerger::write_positions(std::FILE* out, const Compressor& compress) const {
  std::string buffer("MSP1");
  std::uint64_t offset = 0;
  PositionsIndex made;
  std::vector<std::uint32_t>& term_runs = made.term_runs;
  std::vector<std::uint32_t>& run_counts = made.run_counts;
  std::vector<std::uint64_t>& run_ends = made.run_ends;
  auto flush = [&] {
    write_out(out, buffer);
    offset += buffer.size();
    buffer.clear();
  };
  std::vector<std::size_t> cursors(positions_.size(), 0);
  for (const std::uint32_t id : order_) {
    std::uint32_t postings = 0;
    for (std::size_t input = 0; input < positions_.size(); ++input) {
      const std::vector<std::uint32_t>& ids = input_terms_[input];
      std::size_t& cursor = cursors[input];
      if (cursor >= ids.size() || ids[cursor] != id) continue;
      const PositionsInput& in = positions_[input];
      const std::uint32_t first = in.term_runs[cursor], last = in.term_runs[cursor + 1];
      ++cursor;
      if (first == last) continue;
      const std::uint64_t start = first ? in.run_ends[first - 1] : kPositionsMagicBytes;
      std::uint32_t before = 0;
      for (std::uint32_t run = first; run < last; ++run) {
        if (in.run_counts[run] < before)
          throw DamagedInput(input, "its positions' run counts fall");
        postings += in.run_counts[run] - before;
        before = in.run_counts[run];
        run_counts.push_back(postings);
        run_ends.push_back(offset + buffer.size() + (in.run_ends[run] - start));
      }
      buffer.append(reinterpret_cast<const char*>(in.file.data() + start),
                    static_cast<std::size_t>(in.run_ends[last - 1] - start));
      if (buffer.size() >= (1u << 20)) flush();
    }
    term_runs.push_back(static_cast<std::uint32_t>(run_ends.size()));
  }
  flush();
  const std::string index = made.payload();
  std::string tail =
      compress(std::span(reinterpret_cast<const std::uint8_t*>(index.data()), index.size()));
  append_le(tail, offset);
  write_out(out, tail);
  if (std::fflush(out) != 0) throw WriteFailed{errno};
  return offset + tail.size();
}

}  // namespace minisearch::kernels
