// I/O failures as plain values, free of the Python API so that native cores can produce them.
#pragma once

#include <string_view>

namespace quorbel {

// What went wrong when no errno describes it (or what an errno is classified as).
enum class IoKind {
  os,  // described by os_code
  not_found,
  permission_denied,
  connection_refused,
  connection_reset,
  connection_aborted,
  broken_pipe,
  already_exists,
  would_block,
  not_a_directory,
  is_a_directory,
  timed_out,
  interrupted,
  out_of_memory,
  unexpected_eof,
  write_zero,
  invalid_input,
  stopped_by_signal,  // a signal handler raised: its exception is pending in the interpreter
  other,
};

// One I/O failure: either an errno (kind os) or a kind with a fixed, static message.
struct IoError {
  IoKind kind = IoKind::other;
  int os_code = 0;
  const char* message = "";

  static IoError os(int code) noexcept { return {IoKind::os, code, ""}; }
  static IoError fixed(IoKind kind, const char* message) noexcept { return {kind, 0, message}; }

  static IoError short_read() noexcept {
    return fixed(IoKind::unexpected_eof, "failed to fill whole buffer");
  }
  static IoError short_write() noexcept {
    return fixed(IoKind::write_zero, "failed to write whole buffer");
  }
  static IoError buffered_write_zero() noexcept {
    return fixed(IoKind::write_zero, "failed to write the buffered data");
  }
  static IoError nul_in_path() noexcept {
    return fixed(IoKind::invalid_input, "file name contained an unexpected NUL byte");
  }

  static IoError stopped_by_signal() noexcept {
    return fixed(IoKind::stopped_by_signal, "stopped by a signal handler");
  }

  bool is_eof() const noexcept { return kind == IoKind::unexpected_eof; }

  // By text: a fixed message may be a different copy of the same literal in each translation unit.
  friend bool operator==(const IoError& a, const IoError& b) noexcept {
    return a.kind == b.kind && a.os_code == b.os_code &&
           std::string_view(a.message) == std::string_view(b.message);
  }
};

}  // namespace quorbel
