// decode_varint over arbitrary bytes: agrees with a byte-by-byte model of the format, never reads
// outside the span, and re-encoding its value gives a form that decodes to the same value.
#include <cstddef>
#include <cstdint>

#include "encoding/varint.h"
#include "fuzz_support.h"

namespace {

using quorbel::ByteSpan;
using quorbel::Outcome;
using quorbel::VarintError;
using quorbel::encoding::DecodedVarint;

// The format as a plain loop: 7 payload bits per byte, at most ten bytes, of the tenth byte only
// bit 0 counts, a tenth byte that continues is "too many" only when an eleventh byte exists.
Outcome<DecodedVarint> model_decode(ByteSpan bytes) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < 10; ++k) {
    if (k >= bytes.size()) return VarintError::unexpected_end;
    const std::uint64_t payload = k < 9 ? (bytes[k] & 0x7fu) : (bytes[k] & 0x01u);
    value |= payload << (7 * k);
    if ((bytes[k] & 0x80) == 0) return DecodedVarint{value, k + 1};
  }
  return bytes.size() > 10 ? VarintError::too_many_bytes : VarintError::unexpected_end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorbel::fuzz::ExactCopy input(data, size);
  const ByteSpan bytes = input.span();

  const Outcome<DecodedVarint> outcome = quorbel::encoding::decode_varint(bytes);
  const Outcome<DecodedVarint> model = model_decode(bytes);
  FUZZ_CHECK(quorbel::fuzz::same_verdict(outcome, model));
  if (!outcome.ok()) return 0;
  const DecodedVarint decoded = *outcome;
  const DecodedVarint expected = *model;
  FUZZ_CHECK(decoded.value == expected.value);
  FUZZ_CHECK(decoded.length == expected.length);
  FUZZ_CHECK(decoded.length >= 1 && decoded.length <= quorbel::encoding::kMaxVarintBytes);
  FUZZ_CHECK(decoded.length <= bytes.size());

  // The varint alone, without what follows it, decodes the same way.
  quorbel::fuzz::ExactCopy alone(bytes.data(), decoded.length);
  const Outcome<DecodedVarint> again = quorbel::encoding::decode_varint(alone.span());
  FUZZ_CHECK(again.ok() && again->value == decoded.value && again->length == decoded.length);

  // The encoder's shortest form is no longer than what was read and decodes to the same value.
  std::uint8_t written[quorbel::encoding::kMaxVarintBytes];
  const std::uint8_t* end = quorbel::encoding::write_varint(decoded.value, written);
  const auto length = static_cast<std::size_t>(end - written);
  FUZZ_CHECK(length <= decoded.length);
  FUZZ_CHECK(end[-1] != 0 || length == 1);
  quorbel::fuzz::ExactCopy reencoded(written, length);
  const Outcome<DecodedVarint> round = quorbel::encoding::decode_varint(reencoded.span());
  FUZZ_CHECK(round.ok() && round->value == decoded.value && round->length == length);
  return 0;
}
