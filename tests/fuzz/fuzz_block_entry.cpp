// The block-entry reader over a file holding arbitrary bytes (a memfd, read through the real
// descriptor and 8192-byte buffer): every outcome of read_entry agrees with a model that parses
// the same bytes in memory, entry after entry, and every entry's fields are the bytes of the file.
//
// Input: one control byte, then the bytes of the block. With bit 7 of the control byte clear, a
// filler entry is put in front so that the fuzzed entries begin 0 to 31 bytes before the end of
// the reader's first buffer, where terms, varints and posting bytes straddle a refill.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "blockfile/format.h"
#include "blockfile/readers.h"
#include "blockfile/utf8.h"
#include "encoding/postings.h"
#include "encoding/varint.h"
#include "fuzz_support.h"

namespace {

using namespace quorbel::blockfile;
using quorbel::ByteBuffer;
using quorbel::ByteSpan;
using quorbel::IoError;
using quorbel::Outcome;
using quorbel::encoding::Posting;

struct Expected {
  Outcome<bool> outcome = true;  // as read_entry's: an entry, the end of the walk, or a failure
  ByteBuffer term;
  std::uint64_t doc_freq_content = 0;
  std::uint64_t doc_freq_title = 0;
  ByteBuffer posting_bytes;
  std::vector<Posting> postings;
  std::uint64_t size = 0;
};

// One entry parsed from the file's bytes at `offset`.
Expected model_entry(ByteSpan file, std::size_t offset) {
  Expected out;
  const ByteSpan rest = file.subspan(offset);
  if (rest.size() < kTermLengthBytes) {
    out.outcome = false;
    return out;
  }
  // A memory file fails only by ending.
  const std::uint64_t term_length = load_u32_le(rest.data());
  if (rest.size() - kTermLengthBytes < term_length) {
    out.outcome = IoError::short_read();
    return out;
  }
  const ByteSpan term = rest.subspan(kTermLengthBytes, term_length);
  out.term.assign(term.begin(), term.end());
  if (Outcome<> checked = check_utf8(term); !checked.ok()) {
    out.outcome = checked.error();
    return out;
  }
  std::size_t position = kTermLengthBytes + term_length;
  std::uint64_t values[3];
  for (std::uint64_t& value : values) {
    auto decoded = quorbel::encoding::decode_varint(rest.subspan(position));
    if (!decoded.ok()) {
      out.outcome = decoded.error();
      return out;
    }
    value = decoded->value;
    position += decoded->length;
  }
  out.doc_freq_content = values[0];
  out.doc_freq_title = values[1];
  if (rest.size() - position < values[2]) {
    out.outcome = IoError::short_read();
    return out;
  }
  const ByteSpan posting_bytes = rest.subspan(position, values[2]);
  out.posting_bytes.assign(posting_bytes.begin(), posting_bytes.end());
  quorbel::encoding::PostingArray postings;
  if (Outcome<> decoded = quorbel::encoding::decode_postings_into(posting_bytes, postings);
      !decoded.ok()) {
    out.outcome = decoded.error();
    return out;
  }
  out.postings.assign(postings.span().begin(), postings.span().end());
  out.size = position + values[2];
  return out;
}

// A file descriptor holding `bytes`, positioned at 0.
int memory_file(const ByteBuffer& bytes) {
  const int fd = memfd_create("block", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t put = write(fd, bytes.data() + written, bytes.size() - written);
    FUZZ_CHECK(put > 0);
    written += static_cast<std::size_t>(put);
  }
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  ByteBuffer file(kHeaderBytes, 0xff);  // announces 2**64 - 1 entries: read until the file ends
  if ((data[0] & 0x80) == 0) {
    const std::size_t fuzzed_start = kIoBufferBytes - (data[0] & 0x1f);
    const std::size_t term_length = fuzzed_start - kHeaderBytes - kMinEntryBytes;
    std::uint8_t length[kTermLengthBytes];
    store_u32_le(static_cast<std::uint32_t>(term_length), length);
    file.insert(file.end(), length, length + kTermLengthBytes);
    file.insert(file.end(), term_length, 'a');
    file.insert(file.end(), {0, 0, 0});
  }
  file.insert(file.end(), data + 1, data + size);
  const quorbel::fuzz::ExactCopy copy(file.data(), file.size());
  const ByteSpan bytes = copy.span();

  const int fd = memory_file(file);
  BufferedReader reader(fd);
  const Outcome<std::uint64_t> num_terms = read_header(reader);
  FUZZ_CHECK(num_terms.ok() && *num_terms == ~std::uint64_t{0});

  Entry entry;  // reused, as the readers reuse it
  std::size_t offset = kHeaderBytes;
  for (;;) {
    const Outcome<bool> outcome = read_entry(reader, entry);
    const Expected expected = model_entry(bytes, offset);
    // The same entry or end, or the same failure: class, position and extent alike.
    FUZZ_CHECK(quorbel::fuzz::same_verdict(outcome, expected.outcome));
    if (!outcome.ok()) break;
    FUZZ_CHECK(*outcome == *expected.outcome);
    if (!*outcome) break;
    FUZZ_CHECK(entry.term == expected.term);
    FUZZ_CHECK(check_utf8(entry.term).ok());
    FUZZ_CHECK(entry.doc_freq_content == expected.doc_freq_content);
    FUZZ_CHECK(entry.doc_freq_title == expected.doc_freq_title);
    FUZZ_CHECK(entry.posting_bytes == expected.posting_bytes);
    FUZZ_CHECK(std::equal(entry.postings.span().begin(), entry.postings.span().end(),
                          expected.postings.begin(), expected.postings.end()));
    FUZZ_CHECK(entry.size == expected.size);
    FUZZ_CHECK(entry.size >= kMinEntryBytes && entry.size <= bytes.size() - offset);
    offset += entry.size;
  }
  close(fd);
  return 0;
}
