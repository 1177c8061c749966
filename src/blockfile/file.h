// POSIX files for the block readers and writer: an owning descriptor, EINTR retries, and the
// 8192-byte buffered reader and writer. Free of the Python API; failures are IoError values in
// an Outcome.
#pragma once

#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "blockfile/format.h"
#include "common/bytes.h"
#include "common/outcome.h"

namespace quorbel::blockfile {

// Called when a signal interrupts a system call, before the call is repeated; false gives the call
// up. Defined by whoever links the file code in: the module runs the interpreter's signal handlers
// here (blockfile/py_signals.cpp), so that a handler that raises can stop a call blocked on a
// FIFO or a slow file system.
bool continue_after_signal() noexcept;

// Repeats a system call (returning -1 and setting errno on failure) while a signal interrupts it
// and continue_after_signal agrees. A -1 with errno EINTR afterwards means that it did not: see
// failed_call.
template <class Call>
auto retry_on_eintr(Call call) -> decltype(call()) {
  for (;;) {
    auto result = call();
    if (result != -1 || errno != EINTR) return result;
    if (!continue_after_signal()) {
      errno = EINTR;  // the handlers may have changed it
      return result;
    }
  }
}

// The failure of a call that retry_on_eintr returned -1 for, from errno.
inline IoError failed_call() noexcept {
  return errno == EINTR ? IoError::stopped_by_signal() : IoError::os(errno);
}

// Owns one open file descriptor; the destructor closes it (ignoring the outcome), so every early
// exit releases it.
class Fd {
 public:
  Fd() noexcept = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();

  int get() const noexcept { return fd_; }

  // Closes now and reports a failure (the descriptor is released either way).
  Outcome<> close() noexcept;

 private:
  int fd_ = -1;
};

// Opens `path` with `flags` (O_CLOEXEC is the caller's to add) and `mode`, retrying on EINTR. A
// path holding a NUL byte is refused before any system call.
Outcome<Fd> open_file(std::string_view path, int flags, mode_t mode);

// st_size of the open file.
Outcome<std::uint64_t> file_size(const Fd& fd);

// Moves the file position to `offset` from the start. Offsets of 2**63 or more do not fit the
// system call's signed offset and fail with EINVAL.
Outcome<> seek_to(const Fd& fd, std::uint64_t offset);

// Reads through an 8192-byte buffer. Short reads from read(2) are gathered; the file ending
// before a request is met is IoError::short_read(). Borrows the descriptor.
class BufferedReader {
 public:
  explicit BufferedReader(int fd) noexcept : fd_(fd) {}
  BufferedReader(const BufferedReader&) = delete;
  BufferedReader& operator=(const BufferedReader&) = delete;

  // Fills `out` completely. A request of 8192 bytes or more that finds the buffer empty is read
  // straight into `out`.
  Outcome<> read_exact(std::span<std::uint8_t> out);

  // Replaces the contents of `out` with the next `size` bytes. `size` comes from the file and may
  // be corrupt, so `out` grows only in step with the bytes that actually arrive: a length far
  // beyond the file's end fails with the short read after a bounded allocation.
  Outcome<> read_exact_into(ByteBuffer& out, std::uint64_t size);

  // The bytes buffered but not yet consumed; `consume` takes `count` of them.
  ByteSpan buffered() const noexcept { return ByteSpan(buffer_.data() + begin_, end_ - begin_); }
  void consume(std::size_t count) noexcept { begin_ += count; }

  // The next byte, or nullopt at the end of the file.
  Outcome<std::optional<std::uint8_t>> next_byte();

 private:
  // One read(2) of up to 8192 bytes into the empty buffer; the bytes it gave (0 at the end).
  Outcome<std::size_t> refill();

  int fd_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::array<std::uint8_t, kIoBufferBytes> buffer_;
};

// Writes through an 8192-byte buffer. Borrows the descriptor.
class BufferedWriter {
 public:
  explicit BufferedWriter(int fd) noexcept : fd_(fd) {}
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  // A piece shorter than 8192 bytes joins the buffer (written out first when it would not fit);
  // a longer one is written straight to the file after the buffered bytes.
  Outcome<> write(ByteSpan piece);

  // Writes out the buffered bytes. On failure the bytes not yet accepted stay buffered.
  Outcome<> flush();

 private:
  int fd_;
  std::size_t used_ = 0;
  std::array<std::uint8_t, kIoBufferBytes> buffer_;
};

}  // namespace quorbel::blockfile
