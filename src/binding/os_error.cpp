#include "binding/os_error.h"

#include <cerrno>
#include <cstring>

namespace quorbel::binding {

namespace {

IoKind kind_of_errno(int code) noexcept {
  switch (code) {
    case ENOENT: return IoKind::not_found;
    case EPERM:
    case EACCES: return IoKind::permission_denied;
    case ECONNREFUSED: return IoKind::connection_refused;
    case ECONNRESET: return IoKind::connection_reset;
    case ECONNABORTED: return IoKind::connection_aborted;
    case EPIPE: return IoKind::broken_pipe;
    case EEXIST: return IoKind::already_exists;
    case EAGAIN: return IoKind::would_block;
    case ENOTDIR: return IoKind::not_a_directory;
    case EISDIR: return IoKind::is_a_directory;
    case ETIMEDOUT: return IoKind::timed_out;
    case EINTR: return IoKind::interrupted;
    case ENOMEM: return IoKind::out_of_memory;
    default: return IoKind::other;
  }
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer).
[[maybe_unused]] const char* strerror_result(const char* text, const char*) noexcept {
  return text;
}
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) noexcept {
  return status == 0 ? buffer : "Unknown error";
}

}  // namespace

PyObject* os_error_class(const IoError& error) noexcept {
  IoKind kind = error.kind == IoKind::os ? kind_of_errno(error.os_code) : error.kind;
  switch (kind) {
    case IoKind::not_found: return PyExc_FileNotFoundError;
    case IoKind::permission_denied: return PyExc_PermissionError;
    case IoKind::connection_refused: return PyExc_ConnectionRefusedError;
    case IoKind::connection_reset: return PyExc_ConnectionResetError;
    case IoKind::connection_aborted: return PyExc_ConnectionAbortedError;
    case IoKind::broken_pipe: return PyExc_BrokenPipeError;
    case IoKind::already_exists: return PyExc_FileExistsError;
    case IoKind::would_block: return PyExc_BlockingIOError;
    case IoKind::not_a_directory: return PyExc_NotADirectoryError;
    case IoKind::is_a_directory: return PyExc_IsADirectoryError;
    case IoKind::timed_out: return PyExc_TimeoutError;
    case IoKind::interrupted: return PyExc_InterruptedError;
    case IoKind::out_of_memory: return PyExc_MemoryError;
    default: return PyExc_OSError;
  }
}

std::string io_error_text(const IoError& error) {
  if (error.kind != IoKind::os) return error.message;
  char buffer[128] = {};
  const char* description =
      strerror_result(strerror_r(error.os_code, buffer, sizeof buffer), buffer);
  return std::string(description) + " (os error " + std::to_string(error.os_code) + ")";
}

}  // namespace quorbel::binding
