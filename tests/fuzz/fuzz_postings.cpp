// decode_postings_into over arbitrary bytes: agrees with a decoder built on decode_varint, never
// reads outside the span, and re-encoding the postings it returns decodes to the same postings.
// The fixed-capacity decoder (sized by count_postings) and the exact-size writer agree with them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "encoding/postings.h"
#include "fuzz_support.h"

namespace {

using quorbel::encoding::ByteBuffer;
using quorbel::encoding::ByteSpan;
using quorbel::encoding::DecodeStatus;
using quorbel::encoding::Posting;

// Three varints per posting; every value keeps its low 32 bits; doc ids accumulate from 0 modulo
// 2**32.
DecodeStatus model_decode(ByteSpan bytes, std::vector<Posting>& out) {
  std::size_t position = 0;
  std::uint32_t doc_id = 0;
  while (position < bytes.size()) {
    std::uint32_t fields[3];
    for (std::uint32_t& field : fields) {
      auto decoded = quorbel::encoding::decode_varint(bytes.subspan(position));
      if (decoded.status != DecodeStatus::ok) return decoded.status;
      field = static_cast<std::uint32_t>(decoded.value);
      position += decoded.length;
    }
    doc_id += fields[0];
    out.push_back({static_cast<std::int32_t>(doc_id), static_cast<std::int32_t>(fields[1]),
                   static_cast<std::int32_t>(fields[2])});
  }
  return DecodeStatus::ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorbel::fuzz::ExactCopy input(data, size);
  const ByteSpan bytes = input.span();

  std::vector<Posting> decoded;
  const DecodeStatus status = quorbel::encoding::decode_postings_into(bytes, decoded);
  std::vector<Posting> expected;
  const DecodeStatus expected_status = model_decode(bytes, expected);
  FUZZ_CHECK(status == expected_status);
  // On failure both hold the postings decoded before the bad one.
  FUZZ_CHECK(decoded == expected);
  FUZZ_CHECK(decoded.size() <= bytes.size() / 3);

  // Appending keeps what `out` already held.
  std::vector<Posting> appended{{1, 2, 3}};
  FUZZ_CHECK(quorbel::encoding::decode_postings_into(bytes, appended) == status);
  FUZZ_CHECK(appended.size() == decoded.size() + 1);
  FUZZ_CHECK(appended[0] == (Posting{1, 2, 3}));
  FUZZ_CHECK(std::equal(decoded.begin(), decoded.end(), appended.begin() + 1));

  // The count that sizes the fixed-capacity decoders bounds what decoding can produce, and is
  // exact for well-formed bytes; the fixed-capacity decoder agrees with the growing one.
  const std::size_t counted = quorbel::encoding::count_postings(bytes);
  FUZZ_CHECK(decoded.size() <= counted);
  FUZZ_CHECK(status != DecodeStatus::ok || decoded.size() == counted);
  quorbel::encoding::PostingArray array(counted);
  FUZZ_CHECK(quorbel::encoding::decode_postings_into(bytes, array) == status);
  FUZZ_CHECK(array.size() <= counted);
  if (status == DecodeStatus::ok) {
    FUZZ_CHECK(std::equal(decoded.begin(), decoded.end(), array.span().begin(), array.span().end()));
  }

  if (status != DecodeStatus::ok) return 0;
  // Round trip: the canonical encoding of the decoded postings decodes to the same postings.
  ByteBuffer encoded;
  quorbel::encoding::encode_postings(decoded, encoded);
  FUZZ_CHECK(encoded.size() >= 3 * decoded.size() && encoded.size() <= 30 * decoded.size());
  quorbel::fuzz::ExactCopy reencoded(encoded.data(), encoded.size());
  std::vector<Posting> again;
  FUZZ_CHECK(quorbel::encoding::decode_postings_into(reencoded.span(), again) == DecodeStatus::ok);
  FUZZ_CHECK(again == decoded);
  // Encoding is a function of the postings: the same list encodes to the same bytes.
  ByteBuffer twice;
  quorbel::encoding::encode_postings(again, twice);
  FUZZ_CHECK(twice == encoded);
  // The exact-size writer fills an exactly-sized buffer with the same bytes.
  const std::size_t size_needed = quorbel::encoding::encoded_size(decoded);
  FUZZ_CHECK(size_needed == encoded.size());
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size_needed]);
  std::uint8_t* end = quorbel::encoding::write_postings(decoded, exact.get());
  FUZZ_CHECK(end == exact.get() + size_needed);
  FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), exact.get()));
  return 0;
}
