// Whole zlib streams (as zlib.compress writes them) inflated one after another into one buffer kept
// from stream to stream: by libdeflate when the kernels are built with it (several times faster on
// the small streams of a document store or a titles file), else by zlib. The bytes are the same
// either way; a stream that is not whole and sound gives nullopt, and the caller's Python code
// names the damage as zlib does.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace minisearch::kernels {

class WholeInflater {
 public:
  WholeInflater();
  WholeInflater(const WholeInflater&) = delete;
  WholeInflater& operator=(const WholeInflater&) = delete;
  ~WholeInflater();

  // `data` inflated, valid until the next call; nullopt when it is not exactly one zlib stream, or
  // would inflate to more than a gibibyte.
  std::optional<std::string_view> inflate_whole(std::span<const std::uint8_t> data);

 private:
  static constexpr std::size_t kLargest = 1U << 30;  // zlib counts in 32 bits
  void* state_;  // the backend's: a libdeflate decompressor or a z_stream
  std::vector<char> buffer_;
};

}  // namespace minisearch::kernels
