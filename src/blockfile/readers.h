// Reading block files: the header and one entry at a time. Free of the Python API, so that the
// entry parser can be driven by native tests and fuzzers.
#pragma once

#include <cstdint>

#include "blockfile/file.h"
#include "blockfile/utf8.h"
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

// How reading an entry ended.
struct EntryOutcome {
  enum class Kind : std::uint8_t {
    entry,        // `entry` holds the next entry; the reader stands after its last byte
    end_of_file,  // fewer than four bytes were left for the term length
    io_failure,   // `io`: a read failed, or the file ended inside the term or posting bytes
    bad_utf8,     // `utf8`: the term bytes are not UTF-8
    bad_varint,   // `varint`: one of the three varints or the posting bytes are malformed
  };
  Kind kind = Kind::entry;
  IoError io{};
  Utf8Check utf8{};
  encoding::DecodeStatus varint = encoding::DecodeStatus::ok;
};

// Reads the 8-byte header: the entry count. A file shorter than that is the short read.
IoStatus read_header(BufferedReader& reader, std::uint64_t& num_terms);

// Reads the entry at the reader's position into `entry`. The UTF-8 check of the term comes before
// anything after the term is read. The three varints are decoded as decode_varint would decode the
// rest of the file, and the postings with decode_postings_into.
EntryOutcome read_entry(BufferedReader& reader, Entry& entry);

}  // namespace quorbel::blockfile
