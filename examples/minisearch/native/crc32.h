// CRC-32 (the polynomial of zlib.crc32, reflected, initial and final value 0xFFFFFFFF): the check
// the term table keeps for each entry.
#pragma once

#include <array>
#include <cstdint>

#include "common/bytes.h"

namespace minisearch::kernels {

namespace detail {
constexpr std::array<std::uint32_t, 256> make_crc32_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t value = byte;
    for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ (0xEDB88320u & (0u - (value & 1u)));
    table[byte] = value;
  }
  return table;
}
inline constexpr std::array<std::uint32_t, 256> kCrc32Table = make_crc32_table();
}  // namespace detail

// zlib.crc32(bytes).
inline std::uint32_t crc32(quorbel::ByteSpan bytes) noexcept {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::uint8_t byte : bytes)
    crc = (crc >> 8) ^ detail::kCrc32Table[(crc ^ byte) & 0xFFu];
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace minisearch::kernels
