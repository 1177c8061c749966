// Byte spans and growable byte buffers, shared by the cores and the binding.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorbel {

using ByteSpan = std::span<const std::uint8_t>;
using ByteBuffer = std::vector<std::uint8_t>;

}  // namespace quorbel
