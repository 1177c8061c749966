// Reading block files: the header and one entry at a time. Free of the Python API, so that the
// entry parser can be driven by native tests and fuzzers.
#pragma once

#include <cstdint>

#include "blockfile/file.h"
#include "encoding/postings.h"
#include "encoding/varint.h"

namespace quorbel::blockfile {

// One entry as read from the file. Callers keep one and pass it to every read_entry, so the term,
// posting byte and posting buffers are reused from entry to entry.
struct Entry {
  ByteBuffer term;  // valid UTF-8 once read
  std::uint64_t doc_freq_content = 0;
  std::uint64_t doc_freq_title = 0;
  ByteBuffer posting_bytes;
  encoding::PostingArray postings;
  std::uint64_t size = 0;  // bytes the entry occupies in the file
};

// Reads the 8-byte header: the entry count. A file shorter than that is the short read.
Outcome<std::uint64_t> read_header(BufferedReader& reader);

// Reads the entry at the reader's position into `entry`: true, with the reader after the entry's
// last byte, or false when fewer than four bytes were left for the term length (the end of a
// walk). The UTF-8 check of the term comes before anything after the term is read. The three
// varints are decoded as decode_varint would decode the rest of the file, and the postings with
// decode_postings_into. Fails with an IoError when a read fails or the file ends inside the term
// or posting bytes, a Utf8Error for the term, or a VarintError.
Outcome<bool> read_entry(BufferedReader& reader, Entry& entry);

}  // namespace quorbel::blockfile
