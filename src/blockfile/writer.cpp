#include "blockfile/writer.h"

#include <fcntl.h>

#include <algorithm>

#include "blockfile/format.h"
#include "encoding/varint.h"

namespace quorbel::blockfile {

namespace {

// Replaces the contents of `out` with the byte form of `postings`, written a stretch at a time
// into a stack buffer and appended from there, so that the vector neither zero-fills a
// worst-case tail nor needs a size pass.
void append_postings(encoding::PostingSpan postings, ByteBuffer& out) {
  constexpr std::size_t kStretch = 128;
  std::uint8_t buffer[kStretch * encoding::kMaxPostingBytes];
  out.clear();
  std::int32_t previous = 0;
  for (std::size_t start = 0; start < postings.size(); start += kStretch) {
    const encoding::PostingSpan stretch =
        postings.subspan(start, std::min(kStretch, postings.size() - start));
    std::uint8_t* const end = encoding::write_postings(stretch, buffer, previous);
    out.insert(out.end(), buffer, end);
    previous = stretch.back().doc_id;
  }
}

Outcome<> write_entries(BufferedWriter& writer, std::span<const std::string> terms,
                        std::span<const DocFreqs> doc_freqs,
                        std::span<const std::vector<encoding::Posting>> postings) {
  std::uint8_t header[kHeaderBytes];
  store_u64_le(terms.size(), header);
  QUORBEL_TRY(writer.write(header));

  // Reused across entries; it only ever grows to the largest posting list.
  ByteBuffer posting_bytes;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    append_postings(postings[i], posting_bytes);

    std::uint8_t varints[kMaxVarintGroupBytes];
    std::uint8_t* end = encoding::write_varint(doc_freqs[i].content, varints);
    end = encoding::write_varint(doc_freqs[i].title, end);
    end = encoding::write_varint(posting_bytes.size(), end);

    const std::string& term = terms[i];
    std::uint8_t term_length[kTermLengthBytes];
    store_u32_le(static_cast<std::uint32_t>(term.size()), term_length);

    QUORBEL_TRY(writer.write(term_length));
    QUORBEL_TRY(
        writer.write(ByteSpan(reinterpret_cast<const std::uint8_t*>(term.data()), term.size())));
    QUORBEL_TRY(writer.write(ByteSpan(varints, end)));
    QUORBEL_TRY(writer.write(posting_bytes));
  }
  return writer.flush();
}

}  // namespace

Outcome<> write_block(std::string_view path, std::span<const std::string> terms,
                      std::span<const DocFreqs> doc_freqs,
                      std::span<const std::vector<encoding::Posting>> postings) {
  QUORBEL_ASSIGN_OR_RETURN(Fd fd, open_file(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  BufferedWriter writer(fd.get());
  Outcome<> written = write_entries(writer, terms, doc_freqs, postings);
  if (!written.ok()) {
    // A signal handler that raised stops the call at once. Otherwise one last attempt hands over
    // what is still buffered; the first failure is the one that counts, unless that attempt was
    // itself stopped by a handler, whose exception must not be lost. The descriptor closes on the
    // way out.
    if (stopped_by_signal(written.error())) return written;
    Outcome<> last = writer.flush();
    if (!last.ok() && stopped_by_signal(last.error())) return last;
    return written;
  }
  return fd.close();
}

}  // namespace quorbel::blockfile
