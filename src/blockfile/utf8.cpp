#include "blockfile/utf8.h"

#include <cstring>

namespace quorbel::blockfile {

namespace {

// Total length of a sequence led by `lead`, and the range its second byte must fall in; 0 for a
// byte that cannot lead (continuation bytes, C0, C1, F5..FF). The narrowed second-byte ranges are
// what exclude overlong forms, surrogates and code points above U+10FFFF.
struct Lead {
  std::uint8_t length;
  std::uint8_t second_low;
  std::uint8_t second_high;
};

constexpr Lead lead_of(std::uint8_t lead) noexcept {
  if (lead >= 0xc2 && lead <= 0xdf) return {2, 0x80, 0xbf};
  if (lead == 0xe0) return {3, 0xa0, 0xbf};
  if (lead == 0xed) return {3, 0x80, 0x9f};
  if (lead >= 0xe1 && lead <= 0xef) return {3, 0x80, 0xbf};
  if (lead == 0xf0) return {4, 0x90, 0xbf};
  if (lead == 0xf4) return {4, 0x80, 0x8f};
  if (lead >= 0xf1 && lead <= 0xf3) return {4, 0x80, 0xbf};
  return {0, 0, 0};
}

bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xc0) == 0x80; }

// Whether the eight bytes at `at` are all ASCII.
bool ascii_word(const std::uint8_t* at) noexcept {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return (word & 0x8080'8080'8080'8080) == 0;
}

}  // namespace

Outcome<> check_utf8(ByteSpan bytes) noexcept {
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    // Terms are mostly ASCII: skip it a word at a time.
    while (i + 8 <= size && ascii_word(bytes.data() + i)) i += 8;
    if (i == size) break;
    const std::uint8_t byte = bytes[i];
    if (byte < 0x80) {
      ++i;
      continue;
    }
    const Lead lead = lead_of(byte);
    if (lead.length == 0) return Utf8Error{false, i, 1};
    // Count the bytes that continue the sequence correctly; the first one that does not ends the
    // maximal subpart.
    std::size_t matched = 1;
    while (matched < lead.length) {
      if (i + matched == size) return Utf8Error{true, i, 0};
      const std::uint8_t next = bytes[i + matched];
      const bool fits = matched == 1 ? next >= lead.second_low && next <= lead.second_high
                                     : is_continuation(next);
      if (!fits) return Utf8Error{false, i, matched};
      ++matched;
    }
    i += lead.length;
  }
  return {};
}

}  // namespace quorbel::blockfile
