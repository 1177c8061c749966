// Byte layout of a block file, shared by the writer and the readers.
//
//   header: num_terms, unsigned 64-bit little-endian
//   then num_terms entries, back to back:
//     L (unsigned 32-bit little-endian) | L term bytes (UTF-8)
//     | varint doc_freq_content | varint doc_freq_title | varint P | P posting bytes
//
// No magic, version, checksum or padding: the first entry starts at byte 8 and each entry at the
// byte after the previous one's last posting byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "encoding/varint.h"

namespace quorbel::blockfile {

inline constexpr std::size_t kHeaderBytes = 8;
inline constexpr std::size_t kTermLengthBytes = 4;
inline constexpr std::uint64_t kFirstEntryOffset = kHeaderBytes;

// The term length field holds 32 bits, so a longer term cannot be stored.
inline constexpr std::uint64_t kMaxTermBytes = 0xffff'ffff;

// doc_freq_content, doc_freq_title and P, each at most ten bytes.
inline constexpr std::size_t kMaxVarintGroupBytes = 3 * encoding::kMaxVarintBytes;

// The smallest entry: an empty term, both frequencies 0 and no postings.
inline constexpr std::size_t kMinEntryBytes = kTermLengthBytes + 3;

// Size of the read and write buffers; pieces at least this long bypass them.
inline constexpr std::size_t kIoBufferBytes = 8192;

inline void store_u32_le(std::uint32_t value, std::uint8_t* out) noexcept {
  for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline void store_u64_le(std::uint64_t value, std::uint8_t* out) noexcept {
  for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t load_u32_le(const std::uint8_t* in) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(in[i]) << (8 * i);
  return value;
}

inline std::uint64_t load_u64_le(const std::uint8_t* in) noexcept {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < 8; ++i) value |= static_cast<std::uint64_t>(in[i]) << (8 * i);
  return value;
}

}  // namespace quorbel::blockfile
