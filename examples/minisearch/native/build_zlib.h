// Deflating in process, with the zlib the kernels were linked with, when it is the very version
// the interpreter's zlib module runs on (the same code, so the same bytes): reusing one stream
// saves a wide run of positions the setting up of a new one, which costs more than its deflating.
// Without zlib at build time, or with another version, the caller's Python functions deflate.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace minisearch::kernels {

// zlib's strategies: string matching and Huffman codes, or Huffman codes alone.
enum class Strategy { standard, huffman_only };

class Deflater {
 public:
  // A deflater at `level` making raw streams (`raw`) or zlib streams, with zlib's memLevel
  // `memory_level` and `strategy`; null unless the kernels carry zlib and its version is
  // `runtime_version` (zlib.ZLIB_RUNTIME_VERSION).
  static std::unique_ptr<Deflater> make(std::string_view runtime_version, int level, bool raw,
                                        int memory_level = 8,
                                        Strategy strategy = Strategy::standard);
  virtual ~Deflater() = default;
  virtual std::string deflate(std::span<const std::uint8_t> data) = 0;
};

// The memLevel a wide run of positions of `size` bytes is deflated at, as
// minisearch.positions.run_memory_level gives it: the least whose buffer of 1 << (level + 6)
// symbols holds the run, so that the many short runs set up little state.
inline int run_memory_level(std::size_t size) noexcept {
  int level = 1;
  while (level < 9 && (std::size_t{1} << (level + 6)) < size) ++level;
  return level;
}

// A wide run of at most this many bytes is stored in its stream (level 0), as
// minisearch.positions.STORED_RUN_BYTES says.
constexpr std::size_t kStoredRunBytes = 32;

// Deflates the wide runs of positions as minisearch.positions.deflate_raw does: raw streams of
// Huffman codes alone at level `level`, each at its run_memory_level (one deflater per level,
// made when first needed), or stored for a run of at most kStoredRunBytes.
class RunDeflater {
 public:
  // Null unless the kernels carry zlib of version `runtime_version`.
  static std::unique_ptr<RunDeflater> make(std::string_view runtime_version, int level);
  std::string deflate(std::span<const std::uint8_t> data);

 private:
  RunDeflater(std::string runtime_version, int level)
      : runtime_version_(std::move(runtime_version)), level_(level) {}
  std::string runtime_version_;
  int level_;
  std::array<std::unique_ptr<Deflater>, 10> by_memory_level_;
  std::unique_ptr<Deflater> stored_;
};

}  // namespace minisearch::kernels
