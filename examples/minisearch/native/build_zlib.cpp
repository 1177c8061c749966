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

// As zlib.compress(data, level) sets a stream up.
class ZlibDeflater final : public Deflater {
 public:
  static constexpr std::size_t kChunk = std::size_t{1} << 30;

  explicit ZlibDeflater(int level) {
    if (deflateInit(&stream_, level) != Z_OK) throw std::bad_alloc();
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

std::unique_ptr<Deflater> Deflater::make(std::string_view runtime_version, int level) {
  if (runtime_version != zlibVersion()) return nullptr;
  return std::make_unique<ZlibDeflater>(level);
}
#else
std::unique_ptr<Deflater> Deflater::make(std::string_view, int) { return nullptr; }
#endif

}  // namespace minisearch::kernels
