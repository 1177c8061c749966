// Writing a whole block file in one sequential pass. Free of the Python API.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blockfile/file.h"
#include "encoding/postings.h"

namespace quorbel::blockfile {

// The two document frequencies stored with a term.
struct DocFreqs {
  std::uint64_t content;
  std::uint64_t title;
};

// Creates (or truncates) the file at `path` and writes the header and one entry per term, in the
// order given; the three spans have one element per term and every term is shorter than 2**32
// bytes (both checked by the caller). Postings are encoded in their given order. A write failure
// leaves the bytes accepted so far in the file; a failure of the final close(2) is reported. A
// call stopped by a signal handler (IoKind::stopped_by_signal) ends at once, the file as far as it
// got. Every failure is an IoError.
Outcome<> write_block(std::string_view path, std::span<const std::string> terms,
                      std::span<const DocFreqs> doc_freqs,
                      std::span<const std::vector<encoding::Posting>> postings);

}  // namespace quorbel::blockfile
