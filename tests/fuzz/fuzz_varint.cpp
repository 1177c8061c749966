// decode_varint over arbitrary bytes: agrees with a byte-by-byte model of the format, never reads
// outside the span, and re-encoding its value gives a form that decodes to the same value.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "encoding/varint.h"
#include "fuzz_support.h"

namespace {

using quorbel::encoding::ByteBuffer;
using quorbel::encoding::ByteSpan;
using quorbel::encoding::DecodedVarint;
using quorbel::encoding::DecodeStatus;

// The format as a plain loop: 7 payload bits per byte, at most ten bytes, of the tenth byte only
// bit 0 counts, a tenth byte that continues is "too many" only when an eleventh byte exists.
DecodedVarint model_decode(ByteSpan bytes) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < 10; ++k) {
    if (k >= bytes.size()) return {0, 0, DecodeStatus::unexpected_end};
    const std::uint64_t payload = k < 9 ? (bytes[k] & 0x7fu) : (bytes[k] & 0x01u);
    value |= payload << (7 * k);
    if ((bytes[k] & 0x80) == 0) return {value, k + 1, DecodeStatus::ok};
  }
  return {0, 0, bytes.size() > 10 ? DecodeStatus::too_many_bytes : DecodeStatus::unexpected_end};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorbel::fuzz::ExactCopy input(data, size);
  const ByteSpan bytes = input.span();

  const DecodedVarint decoded = quorbel::encoding::decode_varint(bytes);
  const DecodedVarint expected = model_decode(bytes);
  FUZZ_CHECK(decoded.status == expected.status);
  if (decoded.status != DecodeStatus::ok) return 0;
  FUZZ_CHECK(decoded.value == expected.value);
  FUZZ_CHECK(decoded.length == expected.length);
  FUZZ_CHECK(decoded.length >= 1 && decoded.length <= quorbel::encoding::kMaxVarintBytes);
  FUZZ_CHECK(decoded.length <= bytes.size());

  // The varint alone, without what follows it, decodes the same way.
  quorbel::fuzz::ExactCopy alone(bytes.data(), decoded.length);
  const DecodedVarint again = quorbel::encoding::decode_varint(alone.span());
  FUZZ_CHECK(again.status == DecodeStatus::ok && again.value == decoded.value &&
             again.length == decoded.length);

  // The encoder's shortest form is no longer than what was read and decodes to the same value;
  // write_varint and append_varint agree byte for byte.
  ByteBuffer encoded;
  quorbel::encoding::append_varint(decoded.value, encoded);
  FUZZ_CHECK(encoded.size() <= decoded.length);
  FUZZ_CHECK(encoded.back() != 0 || encoded.size() == 1);
  std::uint8_t written[quorbel::encoding::kMaxVarintBytes];
  std::uint8_t* end = quorbel::encoding::write_varint(decoded.value, written);
  FUZZ_CHECK(static_cast<std::size_t>(end - written) == encoded.size());
  FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), written));
  quorbel::fuzz::ExactCopy reencoded(encoded.data(), encoded.size());
  const DecodedVarint round = quorbel::encoding::decode_varint(reencoded.span());
  FUZZ_CHECK(round.status == DecodeStatus::ok && round.value == decoded.value &&
             round.length == encoded.size());
  return 0;
}
