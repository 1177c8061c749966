// Deflating in process, with the zlib the kernels were linked with, when it is the very version
// the interpreter's zlib module runs on (the same code, so the same bytes): reusing one stream
// saves a wide run of positions the setting up of a new one, which costs more than its deflating.
// Without zlib at build time, or with another version, the caller's Python functions deflate.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace minisearch::kernels {

class Deflater {
 public:
  // A deflater at `level` making raw streams (`raw`) or zlib streams; null unless the kernels
  // carry zlib and its version is `runtime_version` (zlib.ZLIB_RUNTIME_VERSION).
  static std::unique_ptr<Deflater> make(std::string_view runtime_version, int level, bool raw);
  virtual ~Deflater() = default;
  virtual std::string deflate(std::span<const std::uint8_t> data) = 0;
};

}  // namespace minisearch::kernels
