// check_utf8 over arbitrary bytes, against a decoder written from the Unicode Standard's table of
// well-formed byte sequences: the verdict, the index (the longest valid prefix) and the length of
// the maximal subpart all agree, and the error text names them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "blockfile/utf8.h"
#include "fuzz_support.h"

namespace {

using quorbel::ByteSpan;
using quorbel::Outcome;
using quorbel::Utf8Error;

struct Range {
  std::uint8_t low, high;
};

// The rows of the table: the allowed range of each byte of a well-formed sequence.
struct Row {
  Range bytes[4];
  std::size_t length;
};

constexpr Row kRows[] = {
    {{{0x00, 0x7f}}, 1},
    {{{0xc2, 0xdf}, {0x80, 0xbf}}, 2},
    {{{0xe0, 0xe0}, {0xa0, 0xbf}, {0x80, 0xbf}}, 3},
    {{{0xe1, 0xec}, {0x80, 0xbf}, {0x80, 0xbf}}, 3},
    {{{0xed, 0xed}, {0x80, 0x9f}, {0x80, 0xbf}}, 3},
    {{{0xee, 0xef}, {0x80, 0xbf}, {0x80, 0xbf}}, 3},
    {{{0xf0, 0xf0}, {0x90, 0xbf}, {0x80, 0xbf}, {0x80, 0xbf}}, 4},
    {{{0xf1, 0xf3}, {0x80, 0xbf}, {0x80, 0xbf}, {0x80, 0xbf}}, 4},
    {{{0xf4, 0xf4}, {0x80, 0x8f}, {0x80, 0xbf}, {0x80, 0xbf}}, 4},
};

Outcome<> model_check(ByteSpan bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const Row* row = nullptr;
    for (const Row& candidate : kRows) {
      if (bytes[i] >= candidate.bytes[0].low && bytes[i] <= candidate.bytes[0].high)
        row = &candidate;
    }
    if (row == nullptr) return Utf8Error{false, i, 1};
    std::size_t matched = 1;
    for (; matched < row->length; ++matched) {
      if (i + matched == bytes.size()) return Utf8Error{true, i, 0};
      const std::uint8_t b = bytes[i + matched];
      if (b < row->bytes[matched].low || b > row->bytes[matched].high) {
        return Utf8Error{false, i, matched};
      }
    }
    i += row->length;
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorbel::fuzz::ExactCopy input(data, size);
  const ByteSpan bytes = input.span();

  const Outcome<> outcome = quorbel::blockfile::check_utf8(bytes);
  FUZZ_CHECK(quorbel::fuzz::same_verdict(outcome, model_check(bytes)));
  if (outcome.ok()) return 0;
  const Utf8Error* check = std::get_if<Utf8Error>(&outcome.error());
  FUZZ_CHECK(check != nullptr);
  FUZZ_CHECK(check->index < bytes.size());
  // Everything before the fault is valid on its own.
  quorbel::fuzz::ExactCopy prefix(bytes.data(), check->index);
  FUZZ_CHECK(quorbel::blockfile::check_utf8(prefix.span()).ok());

  const std::string text = quorbel::utf8_error_text(*check);
  const std::string index = std::to_string(check->index);
  if (check->incomplete) {
    FUZZ_CHECK(bytes.size() - check->index < 4);
    FUZZ_CHECK(text == "incomplete utf-8 byte sequence from index " + index);
  } else {
    FUZZ_CHECK(check->length >= 1 && check->length <= 3);
    FUZZ_CHECK(check->index + check->length <= bytes.size());
    FUZZ_CHECK(text == "invalid utf-8 sequence of " + std::to_string(check->length) +
                           " bytes from index " + index);
  }
  return 0;
}
