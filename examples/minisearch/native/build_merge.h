// Merging one partition of a new segment from its blocks' partition files: the per-posting work
// of minisearch.merge (joining each term's lists, splitting a long list into its impact-ordered
// head and its chunks with their bounds, the entries' CRC-32s, joining the positions' runs),
// writing the bytes the Python code writes. Free of the Python API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "build_block.h"
#include "build_terms.h"
#include "common/bytes.h"

namespace minisearch::kernels {

// An input that cannot be read: `input` is its number among the merge's inputs, or kWhole when
// the inputs together are at fault (a document beyond the segment's lengths).
class DamagedInput : public std::runtime_error {
 public:
  static constexpr std::size_t kWhole = static_cast<std::size_t>(-1);
  DamagedInput(std::size_t input, const std::string& message)
      : std::runtime_error(message), input(input) {}
  std::size_t input;
};

// A write that failed: errno's value.
struct WriteFailed {
  int error;
};

struct MergeSettings {
  std::int32_t first_doc = 0;
  std::size_t head_size = 128;
  std::size_t head_divisor = 16;
  std::size_t chunk_size = 256;
  double k1 = 1.2;
  std::int64_t title_weight = 4;
};

// The term table's columns (minisearch.layout.encode_term_table), per term, per entry or per chunk.
struct MergedTable {
  std::vector<std::string> terms;
  std::vector<std::uint32_t> doc_freq, chunk_count;
  std::vector<std::uint32_t> gaps, sizes, crcs;
  std::vector<std::uint32_t> chunk_first_doc, chunk_max_f, chunk_min_length;
  std::vector<double> chunk_impact;
  std::uint64_t postings = 0;
  std::uint64_t file_size = 0;
};

class PartitionMerger {
 public:
  // The next block's partition file, in document order; it must hold `terms` terms.
  void add_block(quorbel::ByteSpan file, std::size_t terms);
  // The positions file of the block added last (its whole bytes, and its index inflated).
  void add_positions(quorbel::ByteSpan file, quorbel::ByteSpan index);

  // Writes the partition's block file to `out` and returns its term table's columns; `norms` and
  // `lengths` are those of documents first_doc onwards. Consumes the joined lists.
  MergedTable write_postings(std::FILE* out, std::span<const double> norms,
                             std::span<const std::uint32_t> lengths, const MergeSettings& settings);
  // Writes the partition's positions file to `out` (after write_postings); returns its size.
  std::uint64_t write_positions(std::FILE* out, const Compressor& compress) const;

 private:
  struct Joined {
    std::string data;  // the list so far, encoded, in document order
    std::int32_t last_doc = 0;
    std::uint64_t postings = 0, content = 0, title = 0;
  };
  struct PositionsInput {
    quorbel::ByteSpan file;
    std::vector<std::uint32_t> term_runs, run_counts;
    std::vector<std::uint64_t> run_ends;
  };

  TermInterner terms_;
  std::vector<Joined> joined_;
  std::vector<std::vector<std::uint32_t>> input_terms_;  // each input's term ids, in its order
  std::vector<PositionsInput> positions_;
  std::vector<std::uint32_t> order_;  // the term ids in the written order
};

}  // namespace minisearch::kernels
