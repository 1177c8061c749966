#include "whole_inflate.h"

#include <new>

#ifdef MINISEARCH_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

namespace minisearch::kernels {

#ifdef MINISEARCH_LIBDEFLATE

namespace {
libdeflate_decompressor* decompressor(void* state) {
  return static_cast<libdeflate_decompressor*>(state);
}
}  // namespace

WholeInflater::WholeInflater() : state_(libdeflate_alloc_decompressor()) {
  if (state_ == nullptr) throw std::bad_alloc();
}

WholeInflater::~WholeInflater() { libdeflate_free_decompressor(decompressor(state_)); }

std::optional<std::string_view> WholeInflater::inflate_whole(std::span<const std::uint8_t> data) {
  if (data.size() > kLargest) return std::nullopt;
  if (buffer_.size() < data.size() * 4 + 64) buffer_.resize(data.size() * 4 + 64);
  for (;;) {
    std::size_t read = 0;
    std::size_t written = 0;
    const libdeflate_result result =
        libdeflate_zlib_decompress_ex(decompressor(state_), data.data(), data.size(),
                                      buffer_.data(), buffer_.size(), &read, &written);
    if (result == LIBDEFLATE_SUCCESS) {
      if (read != data.size()) return std::nullopt;  // bytes after the stream
      return std::string_view(buffer_.data(), written);
    }
    if (result != LIBDEFLATE_INSUFFICIENT_SPACE || buffer_.size() > kLargest) return std::nullopt;
    buffer_.resize(buffer_.size() * 2);
  }
}

#else

namespace {
z_stream& stream_of(void* state) { return *static_cast<z_stream*>(state); }
}  // namespace

WholeInflater::WholeInflater() : state_(new z_stream{}) {
  if (inflateInit(&stream_of(state_)) != Z_OK) {
    delete &stream_of(state_);
    throw std::bad_alloc();
  }
}

WholeInflater::~WholeInflater() {
  inflateEnd(&stream_of(state_));
  delete &stream_of(state_);
}

std::optional<std::string_view> WholeInflater::inflate_whole(std::span<const std::uint8_t> data) {
  if (data.size() > kLargest) return std::nullopt;
  z_stream& stream = stream_of(state_);
  if (inflateReset(&stream) != Z_OK) throw std::bad_alloc();
  if (buffer_.size() < data.size() * 4 + 64) buffer_.resize(data.size() * 4 + 64);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  std::size_t written = 0;
  int status = Z_OK;
  while (status == Z_OK) {
    if (written == buffer_.size()) {
      if (buffer_.size() > kLargest) return std::nullopt;
      buffer_.resize(buffer_.size() * 2);
    }
    stream.next_out = reinterpret_cast<Bytef*>(buffer_.data() + written);
    stream.avail_out = static_cast<uInt>(buffer_.size() - written);
    status = inflate(&stream, Z_FINISH);
    written = buffer_.size() - stream.avail_out;
    if (status == Z_BUF_ERROR && stream.avail_out == 0) status = Z_OK;  // room for more
  }
  if (status != Z_STREAM_END || stream.avail_in != 0) return std::nullopt;
  return std::string_view(buffer_.data(), written);
}

#endif

}  // namespace minisearch::kernels
