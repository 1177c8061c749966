#include "build_zlib.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>

#ifdef MINISEARCH_ZLIB
#include <zlib.h>
#endif

namespace minisearch::kernels {

#ifdef MINISEARCH_ZLIB
namespace {

// As zlib.compressobj(level, DEFLATED, wbits) and zlib.compress(data, level) set a stream up.
class ZlibDeflater final : public Deflater {
 public:
  static constexpr std::size_t kChunk = std::size_t{1} << 30;

  ZlibDeflater(int level, bool raw, int memory_level, Strategy strategy) {
    const int zlib_strategy =
        strategy == Strategy::huffman_only ? Z_HUFFMAN_ONLY : Z_DEFAULT_STRATEGY;
    if (deflateInit2(&stream_, level, Z_DEFLATED, raw ? -MAX_WBITS : MAX_WBITS, memory_level,
                     zlib_strategy) != Z_OK)
      throw std::bad_alloc();
  }
  ZlibDeflater(const ZlibDeflater&) = delete;
  ZlibDeflater& operator=(const ZlibDeflater&) = delete;
  ~ZlibDeflater() override { deflateEnd(&stream_); }

  // Input and output go to zlib at most kChunk bytes at a time (its counts are 32-bit), which
  // leaves the stream as one call would make it.
  std::string deflate(std::span<const std::uint8_t> data) override {
    if (deflateReset(&stream_) != Z_OK) throw std::bad_alloc();
    std::string out(deflateBound(&stream_, static_cast<uLong>(data.size())), '\0');
    std::size_t read = 0;
    std::size_t written = 0;
    while (true) {
      const std::size_t input = std::min(data.size() - read, kChunk);
      const std::size_t room = std::min(out.size() - written, kChunk);
      stream_.next_in = const_cast<Bytef*>(data.data() + read);
      stream_.avail_in = static_cast<uInt>(input);
      stream_.next_out = reinterpret_cast<Bytef*>(out.data() + written);
      stream_.avail_out = static_cast<uInt>(room);
      const int status = ::deflate(&stream_, read + input == data.size() ? Z_FINISH : Z_NO_FLUSH);
      read += input - stream_.avail_in;
      written += room - stream_.avail_out;
      if (status == Z_STREAM_END) break;
      if (status != Z_OK && status != Z_BUF_ERROR) throw std::bad_alloc();
      if (written == out.size()) out.resize(2 * out.size());
    }
    out.resize(written);
    return out;
  }

 private:
  z_stream stream_{};
};

}  // namespace

std::unique_ptr<Deflater> Deflater::make(std::string_view runtime_version, int level, bool raw,
                                         int memory_level, Strategy strategy) {
  if (runtime_version != zlibVersion()) return nullptr;
  return std::make_unique<ZlibDeflater>(level, raw, memory_level, strategy);
}
#else
std::unique_ptr<Deflater> Deflater::make(std::string_view, int, bool, int, Strategy) {
  return nullptr;
}
#endif

std::unique_ptr<RunDeflater> RunDeflater::make(std::string_view runtime_version, int level) {
  if (Deflater::make(runtime_version, level, true, 1, Strategy::huffman_only) == nullptr)
    return nullptr;
  return std::unique_ptr<RunDeflater>(new RunDeflater(std::string(runtime_version), level));
}

std::string RunDeflater::deflate(std::span<const std::uint8_t> data) {
  if (data.size() <= kStoredRunBytes) {
    if (stored_ == nullptr) stored_ = Deflater::make(runtime_version_, 0, true, 1);
    return stored_->deflate(data);
  }
  std::unique_ptr<Deflater>& deflater = by_memory_level_[run_memory_level(data.size())];
  if (deflater == nullptr)
    deflater = Deflater::make(runtime_version_, level_, true, run_memory_level(data.size()),
                              Strategy::huffman_only);
  return deflater->deflate(data);
}

}  // namespace minisearch::kernels
