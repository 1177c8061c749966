#include "blockfile/readers.h"

#include "blockfile/format.h"

namespace quorbel::blockfile {

using encoding::DecodedVarint;
using encoding::DecodeStatus;
using encoding::kMaxVarintBytes;
using Kind = EntryOutcome::Kind;

namespace {

EntryOutcome io_failure(const IoError& error) { return {Kind::io_failure, error}; }

EntryOutcome bad_varint(DecodeStatus status) {
  EntryOutcome outcome{Kind::bad_varint};
  outcome.varint = status;
  return outcome;
}

// Decodes one varint from the file into `decoded`, with decode_varint's verdicts over "the rest
// of the file"; a failed read leaves `decoded` unset.
IoStatus read_file_varint(BufferedReader& reader, DecodedVarint& decoded) {
  // With more than ten bytes in view decode_varint reaches the same verdict as it would over the
  // whole rest of the file, so the common case decodes straight from the buffer.
  ByteSpan view = reader.buffered();
  if (view.size() > kMaxVarintBytes) {
    decoded = encoding::decode_varint(view);
    if (decoded.status == DecodeStatus::ok) reader.consume(decoded.length);
    return {};
  }
  // Near the end of the buffer: gather the varint byte by byte, plus an eleventh byte after ten
  // continuation bytes, since only its existence tells the two failures apart.
  std::uint8_t bytes[kMaxVarintBytes + 1];
  std::size_t count = 0;
  while (count < sizeof bytes) {
    std::optional<std::uint8_t> byte;
    QUORBEL_IO_TRY(reader.next_byte(byte));
    if (!byte) break;
    bytes[count++] = *byte;
    if (count <= kMaxVarintBytes && (*byte & 0x80) == 0) break;
  }
  decoded = encoding::decode_varint(ByteSpan(bytes, count));
  return {};
}

}  // namespace

IoStatus read_header(BufferedReader& reader, std::uint64_t& num_terms) {
  std::uint8_t header[kHeaderBytes];
  QUORBEL_IO_TRY(reader.read_exact(header));
  num_terms = load_u64_le(header);
  return {};
}

EntryOutcome read_entry(BufferedReader& reader, Entry& entry) {
  std::uint8_t length_field[kTermLengthBytes];
  if (IoStatus status = reader.read_exact(length_field); !status.ok()) {
    // Running out of file here is the normal end of a walk; a failing read is not.
    if (status.error().is_eof()) return {Kind::end_of_file};
    return io_failure(status.error());
  }
  const std::uint32_t term_length = load_u32_le(length_field);
  if (IoStatus status = reader.read_exact_into(entry.term, term_length); !status.ok()) {
    return io_failure(status.error());
  }
  if (Utf8Check check = check_utf8(entry.term); !check.ok()) {
    EntryOutcome outcome{Kind::bad_utf8};
    outcome.utf8 = check;
    return outcome;
  }

  std::uint64_t values[3];
  std::uint64_t varint_bytes = 0;
  for (std::uint64_t& value : values) {
    DecodedVarint decoded;
    if (IoStatus status = read_file_varint(reader, decoded); !status.ok()) {
      return io_failure(status.error());
    }
    if (decoded.status != DecodeStatus::ok) return bad_varint(decoded.status);
    value = decoded.value;
    varint_bytes += decoded.length;
  }
  entry.doc_freq_content = values[0];
  entry.doc_freq_title = values[1];
  const std::uint64_t posting_length = values[2];

  if (IoStatus status = reader.read_exact_into(entry.posting_bytes, posting_length); !status.ok()) {
    return io_failure(status.error());
  }
  entry.postings.clear();
  if (DecodeStatus status = encoding::decode_postings_into(entry.posting_bytes, entry.postings);
      status != DecodeStatus::ok) {
    return bad_varint(status);
  }
  // Unsigned arithmetic: P comes from the file and may be absurd, but then the read above failed.
  entry.size = kTermLengthBytes + term_length + varint_bytes + posting_length;
  return {Kind::entry};
}

}  // namespace quorbel::blockfile
