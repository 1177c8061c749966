#include "build_zlib.h"

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
  ZlibDeflater(int level, bool raw) {
    if (deflateInit2(&stream_, level, Z_DEFLATED, raw ? -MAX_WBITS : MAX_WBITS, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::bad_alloc();
  }
  ZlibDeflater(const ZlibDeflater&) = delete;
  ZlibDeflater& operator=(const ZlibDeflater&) = delete;
  ~ZlibDeflater() override { deflateEnd(&stream_); }

  std::string deflate(std::span<const std::uint8_t> data) override {
    if (deflateReset(&stream_) != Z_OK) throw std::bad_alloc();
    std::string out(deflateBound(&stream_, static_cast<uLong>(data.size())), '\0');
    stream_.next_in = const_cast<Bytef*>(data.data());
    stream_.avail_in = static_cast<uInt>(data.size());
    stream_.next_out = reinterpret_cast<Bytef*>(out.data());
    stream_.avail_out = static_cast<uInt>(out.size());
    if (::deflate(&stream_, Z_FINISH) != Z_STREAM_END) throw std::bad_alloc();
    out.resize(stream_.total_out);
    return out;
  }

 private:
  z_stream stream_{};
};

}  // namespace

std::unique_ptr<Deflater> Deflater::make(std::string_view runtime_version, int level, bool raw) {
  if (runtime_version != zlibVersion()) return nullptr;
  return std::make_unique<ZlibDeflater>(level, raw);
}
#else
std::unique_ptr<Deflater> Deflater::make(std::string_view, int, bool) { return nullptr; }
#endif

}  // namespace minisearch::kernels
