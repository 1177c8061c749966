// Building one block's inverted lists from its documents' terms: the per-token and per-posting
// work of minisearch.blocks.build_block, bytes for bytes as the Python code writes them. Free of
// the Python API: the caller tokenises (ascii_terms, or terms it interns itself), hands each
// document over, and asks for each partition's block file and positions file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "build_terms.h"
#include "encoding/postings.h"
#include "positions_index.h"

namespace minisearch::kernels {

// Deflates bytes (the positions file's index) as the Python code does, so that the files match
// byte for byte whatever zlib the interpreter carries.
using Compressor = std::function<std::string(std::span<const std::uint8_t>)>;

// One partition's files.
struct PartitionFiles {
  std::size_t terms = 0;
  std::string postings;   // the block file
  std::string positions;  // the positions file (empty without positions)
};

class BlockBuilder {
 public:
  BlockBuilder(std::int32_t first_doc, bool positions)
      : next_doc_(first_doc), positions_(positions) {}

  TermInterner& terms() noexcept { return terms_; }
  const TermInterner& terms() const noexcept { return terms_; }

  // The next document, given as its fields' term ids (from terms()), in order.
  void add_document(std::span<const std::uint32_t> title, std::span<const std::uint32_t> content);

  std::size_t postings() const noexcept { return postings_; }

  // How many of the documents added hold each term (by its id).
  std::size_t documents_holding(std::uint32_t id) const noexcept {
    return id < lists_.size() ? lists_[id].postings.size() : 0;
  }

  // The partition files; `compress` makes the positions index's stream. Once, after the last
  // document.
  std::vector<PartitionFiles> finish(std::size_t partitions, const Compressor& compress);

 private:
  struct TermLists {
    std::vector<quorbel::encoding::Posting> postings;
    std::uint64_t gap_count = 0;  // positions of all its postings
    std::uint64_t content_docs = 0;
    std::uint64_t title_docs = 0;
  };

  // A partition's positions file (minisearch.positions), term by term in the file's order.
  class PositionsWriter {
   public:
    void add_term(std::span<const quorbel::encoding::Posting> postings,
                  std::span<const std::uint32_t> gaps);
    // The file: the runs, then the index compressed by `compress`, then where it starts.
    std::string finish(const Compressor& compress) &&;

   private:
    std::string out_{"MSP1"};
    PositionsIndex index_;
  };

  void place(std::span<const std::uint32_t> title, std::span<const std::uint32_t> content);
  void group_gaps();

  TermInterner terms_;
  std::vector<TermLists> lists_;
  std::int32_t next_doc_;
  bool positions_;
  std::size_t postings_ = 0;
  // Per document, reused: the stamp of the last document that held each term, and each term's
  // slot among the document's own terms with its two frequencies.
  std::vector<std::int64_t> seen_in_;
  std::vector<std::uint32_t> slot_of_;
  std::vector<std::uint32_t> doc_terms_;
  std::vector<std::uint32_t> content_freq_;
  std::vector<std::uint32_t> title_freq_;
  std::vector<std::uint32_t> offsets_;
  std::vector<std::uint32_t> placed_;
  // Positions: every document's terms' gaps as placed, with the term of each posting in that
  // order and its number of gaps; then, grouped, each term's gaps from its start.
  std::vector<std::uint32_t> doc_gaps_;
  std::vector<std::uint32_t> placed_terms_;
  std::vector<std::uint32_t> placed_counts_;
  std::vector<std::uint32_t> term_gaps_;
  std::vector<std::uint64_t> gaps_start_;
};

}  // namespace minisearch::kernels
