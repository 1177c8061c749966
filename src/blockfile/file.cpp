#include "blockfile/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

namespace quorbel::blockfile {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Outcome<> Fd::close() noexcept {
  const int fd = std::exchange(fd_, -1);
  if (fd < 0) return {};
  // Never retried: Linux releases the descriptor even when close(2) is interrupted, and a retry
  // could close a descriptor that another thread has just been given. For the same reason an
  // interruption is not a failure.
  if (::close(fd) == -1 && errno != EINTR) return IoError::os(errno);
  return {};
}

Outcome<Fd> open_file(std::string_view path, int flags, mode_t mode) {
  if (path.find('\0') != std::string_view::npos) return IoError::nul_in_path();
  const std::string terminated(path);
  const int fd = retry_on_eintr([&] { return ::open(terminated.c_str(), flags, mode); });
  if (fd == -1) return failed_call();
  return Fd(fd);
}

Outcome<std::uint64_t> file_size(const Fd& fd) {
  struct stat status;
  if (retry_on_eintr([&] { return ::fstat(fd.get(), &status); }) == -1) return failed_call();
  return static_cast<std::uint64_t>(status.st_size);
}

Outcome<> seek_to(const Fd& fd, std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return IoError::os(EINVAL);
  }
  const off_t position = static_cast<off_t>(offset);
  if (retry_on_eintr([&] { return ::lseek(fd.get(), position, SEEK_SET); }) == -1) {
    return failed_call();
  }
  return {};
}

namespace {

// Before a read(2) or write(2) that continues a transfer: a signal that arrived during the previous
// call did not interrupt it (that call returned the bytes it had moved), so its handler runs now,
// rather than after the next call, which may block for good.
Outcome<> before_continuing() noexcept {
  if (!continue_after_signal()) return IoError::stopped_by_signal();
  return {};
}

}  // namespace

// --- reading --------------------------------------------------------------------------------

Outcome<std::size_t> BufferedReader::refill() {
  const ssize_t got = retry_on_eintr([&] { return ::read(fd_, buffer_.data(), buffer_.size()); });
  if (got == -1) return failed_call();
  begin_ = 0;
  end_ = static_cast<std::size_t>(got);
  return end_;
}

Outcome<> BufferedReader::read_exact(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  bool continuing = false;  // a read(2) has already served this request
  while (done < out.size()) {
    const std::size_t wanted = out.size() - done;
    if (begin_ < end_) {
      const std::size_t taken = std::min(wanted, end_ - begin_);
      std::memcpy(out.data() + done, buffer_.data() + begin_, taken);
      begin_ += taken;
      done += taken;
      continue;
    }
    if (continuing) QUORBEL_TRY(before_continuing());
    continuing = true;
    if (wanted >= kIoBufferBytes) {
      const ssize_t got = retry_on_eintr([&] { return ::read(fd_, out.data() + done, wanted); });
      if (got == -1) return failed_call();
      if (got == 0) return IoError::short_read();
      done += static_cast<std::size_t>(got);
      continue;
    }
    QUORBEL_ASSIGN_OR_RETURN(const std::size_t got, refill());
    if (got == 0) return IoError::short_read();
  }
  return {};
}

Outcome<> BufferedReader::read_exact_into(ByteBuffer& out, std::uint64_t size) {
  // Beyond the capacity already held, grow by at most what has arrived so far (and at least this
  // much), so the allocation stays within a small factor of the bytes the file really holds.
  constexpr std::uint64_t kGrowthStep = std::uint64_t{1} << 16;
  out.clear();
  std::uint64_t have = 0;
  while (have < size) {
    const std::uint64_t limit =
        std::max<std::uint64_t>(out.capacity(), have + std::max(have, kGrowthStep));
    const std::uint64_t next = std::min(size, limit);
    out.resize(static_cast<std::size_t>(next));
    QUORBEL_TRY(read_exact(std::span(out).subspan(static_cast<std::size_t>(have))));
    have = next;
  }
  return {};
}

Outcome<std::optional<std::uint8_t>> BufferedReader::next_byte() {
  if (begin_ == end_) {
    QUORBEL_ASSIGN_OR_RETURN(const std::size_t got, refill());
    if (got == 0) return std::optional<std::uint8_t>();
  }
  return std::optional<std::uint8_t>(buffer_[begin_++]);
}

// --- writing --------------------------------------------------------------------------------

namespace {

// Writes `bytes` until all are accepted; `written` counts the accepted ones, also on failure. A
// write(2) that accepts nothing ends with `on_zero`.
Outcome<> write_all(int fd, ByteSpan bytes, std::size_t& written, IoError on_zero) {
  written = 0;
  while (written < bytes.size()) {
    if (written > 0) QUORBEL_TRY(before_continuing());
    const ssize_t put =
        retry_on_eintr([&] { return ::write(fd, bytes.data() + written, bytes.size() - written); });
    if (put == -1) return failed_call();
    if (put == 0) return on_zero;
    written += static_cast<std::size_t>(put);
  }
  return {};
}

}  // namespace

Outcome<> BufferedWriter::flush() {
  std::size_t written = 0;
  Outcome<> status =
      write_all(fd_, ByteSpan(buffer_.data(), used_), written, IoError::buffered_write_zero());
  // Keep what the file has not accepted at the front, so a later attempt picks up from there.
  std::memmove(buffer_.data(), buffer_.data() + written, used_ - written);
  used_ -= written;
  return status;
}

Outcome<> BufferedWriter::write(ByteSpan piece) {
  if (piece.empty()) return {};
  if (piece.size() >= kIoBufferBytes) {
    if (used_ > 0) QUORBEL_TRY(flush());
    std::size_t written = 0;
    return write_all(fd_, piece, written, IoError::short_write());
  }
  if (piece.size() > buffer_.size() - used_) QUORBEL_TRY(flush());
  std::memcpy(buffer_.data() + used_, piece.data(), piece.size());
  used_ += piece.size();
  return {};
}

}  // namespace quorbel::blockfile
