// Byte spans and growable byte buffers shared by the codecs and the block files.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorbel::encoding {

using ByteSpan = std::span<const std::uint8_t>;
using ByteBuffer = std::vector<std::uint8_t>;

}  // namespace quorbel::encoding
