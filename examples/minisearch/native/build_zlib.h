// Deflating in process, with the zlib the kernels were linked with, when it is the very version
// the interpreter's zlib module runs on (the same code, so the same bytes), without the GIL.
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
  // A deflater making zlib streams at `level`; null unless the kernels carry zlib and its version
  // is `runtime_version` (zlib.ZLIB_RUNTIME_VERSION).
  static std::unique_ptr<Deflater> make(std::string_view runtime_version, int level);
  virtual ~Deflater() = default;
  virtual std::string deflate(std::span<const std::uint8_t> data) = 0;
};

}  // namespace minisearch::kernels
