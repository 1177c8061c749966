#include "blockfile/readers.h"

#include "blockfile/format.h"
#include "blockfile/utf8.h"

namespace quorbel::blockfile {

using encoding::DecodedVarint;
using encoding::kMaxVarintBytes;

namespace {

// Decodes one varint from the file, with decode_varint's verdicts over "the rest of the file".
Outcome<DecodedVarint> read_file_varint(BufferedReader& reader) {
  // With more than ten bytes in view decode_varint reaches the same verdict as it would over the
  // whole rest of the file, so the common case decodes straight from the buffer.
  ByteSpan view = reader.buffered();
  if (view.size() > kMaxVarintBytes) {
    Outcome<DecodedVarint> decoded = encoding::decode_varint(view);
    if (decoded.ok()) reader.consume(decoded->length);
    return decoded;
  }
  // Near the end of the buffer: gather the varint byte by byte, plus an eleventh byte after ten
  // continuation bytes, since only its existence tells the two failures apart.
  std::uint8_t bytes[kMaxVarintBytes + 1];
  std::size_t count = 0;
  while (count < sizeof bytes) {
    QUORBEL_ASSIGN_OR_RETURN(const std::optional<std::uint8_t> byte, reader.next_byte());
    if (!byte) break;
    bytes[count++] = *byte;
    if (count <= kMaxVarintBytes && (*byte & 0x80) == 0) break;
  }
  return encoding::decode_varint(ByteSpan(bytes, count));
}

}  // namespace

Outcome<std::uint64_t> read_header(BufferedReader& reader) {
  std::uint8_t header[kHeaderBytes];
  QUORBEL_TRY(reader.read_exact(header));
  return load_u64_le(header);
}

Outcome<bool> read_entry(BufferedReader& reader, Entry& entry) {
  std::uint8_t length_field[kTermLengthBytes];
  if (Outcome<> read = reader.read_exact(length_field); !read.ok()) {
    // Running out of file here is the normal end of a walk; a failing read is not.
    const IoError* io = std::get_if<IoError>(&read.error());
    if (io != nullptr && io->is_eof()) return false;
    return std::move(read).take_error();
  }
  const std::uint32_t term_length = load_u32_le(length_field);
  QUORBEL_TRY(reader.read_exact_into(entry.term, term_length));
  QUORBEL_TRY(check_utf8(entry.term));

  std::uint64_t values[3];
  std::uint64_t varint_bytes = 0;
  for (std::uint64_t& value : values) {
    QUORBEL_ASSIGN_OR_RETURN(const DecodedVarint decoded, read_file_varint(reader));
    value = decoded.value;
    varint_bytes += decoded.length;
  }
  entry.doc_freq_content = values[0];
  entry.doc_freq_title = values[1];
  const std::uint64_t posting_length = values[2];

  QUORBEL_TRY(reader.read_exact_into(entry.posting_bytes, posting_length));
  entry.postings.clear();
  QUORBEL_TRY(encoding::decode_postings_into(entry.posting_bytes, entry.postings));
  // Unsigned arithmetic: P comes from the file and may be absurd, but then the read above failed.
  entry.size = kTermLengthBytes + term_length + varint_bytes + posting_length;
  return true;
}

}  // namespace quorbel::blockfile
