// read_varint(f)
#include <cstdint>
#include <string>

#include "binding/cached_types.h"
#include "binding/convert.h"
#include "binding/object_lock.h"
#include "binding/once_cell.h"
#include "functions.h"

namespace quorbel::encoding {

using binding::Error;
using binding::PyRef;
using binding::Result;
using binding::Slots;

namespace {

// A stream varint is at most five bytes; the fifth contributes its payload at bit 28.
constexpr unsigned kLastShift = 28;

// The method name and argument of f.read(1), made once per process and never released.
Result<PyObject*> read_method_name() {
  static binding::OnceCell cell;
  return cell.get_or_create([]() -> Result<PyObject*> {
    PyObject* name = PyUnicode_InternFromString("read");
    if (name == nullptr) return Error::fetch();
    return name;
  });
}

Result<PyObject*> one_byte_request() {
  static binding::OnceCell cell;
  return cell.get_or_create([]() -> Result<PyObject*> {
    PyObject* one = PyLong_FromLong(1);
    if (one == nullptr) return Error::fetch();
    return one;
  });
}

[[gnu::cold]] Error read_failure(const std::string& text) {
  return Error::deferred(PyExc_OSError, "Error reading file: " + text);
}

[[gnu::cold]] Error not_bytes_failure(PyTypeObject* type) {
  std::string text = "'";
  text.append(binding::qualified_type_name(type)).append("' object cannot be cast as 'bytearray'");
  return read_failure(text);
}

// isinstance(f, io.TextIOBase), asked on every call: its answer may change between two calls
// with the same type (register(), cleared ABC caches, an assigned __bases__ or __class__), so no
// answer is kept. A failure of the import or of the check counts as a failed conversion of the
// argument.
Result<bool> is_text_stream(PyObject* f) {
  QUORBEL_ASSIGN_OR_RETURN(PyObject * text_io_base, binding::text_io_base_type());
  const int is_instance = PyObject_IsInstance(f, text_io_base);
  if (is_instance < 0) return Error::fetch();
  return is_instance == 1;
}

// The error for an exception pending from f.read (InterruptedError already handled).
[[gnu::cold]] Error read_exception_error() {
  // Interrupts and exit requests (KeyboardInterrupt, SystemExit, GeneratorExit) are not read
  // failures: turning them into an OSError would stop a caller's Ctrl-C or shutdown.
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return Error::fetch();
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  QUORBEL_ASSIGN_OR_RETURN(std::string text, binding::exception_text(exception.get()));
  return read_failure(text);
}

struct ByteRead {
  bool end;  // the stream has no more bytes
  std::uint8_t byte;
};

// One call of f.read(1) (repeated while it raises InterruptedError), checked to give at most one
// byte.
Result<ByteRead> read_byte(PyObject* f, PyObject* name, PyObject* one) {
  PyRef chunk;
  for (;;) {
    chunk = PyRef::steal(PyObject_CallMethodOneArg(f, name, one));
    if (chunk) break;
    if (!PyErr_ExceptionMatches(PyExc_InterruptedError)) return read_exception_error();
    PyErr_Clear();
  }
  PyObject* object = chunk.get();
  Py_ssize_t size = 0;
  std::uint8_t first = 0;
  if (PyBytes_Check(object)) {
    size = PyBytes_GET_SIZE(object);
    if (size > 0) first = static_cast<std::uint8_t>(PyBytes_AS_STRING(object)[0]);
  } else if (PyByteArray_Check(object)) {
    // The read method may have kept the bytearray and be changing it from another thread.
    binding::ObjectLock lock(object);
    size = PyByteArray_GET_SIZE(object);
    if (size > 0) first = static_cast<std::uint8_t>(PyByteArray_AS_STRING(object)[0]);
  } else {
    return not_bytes_failure(Py_TYPE(object));
  }
  if (size > 1) return read_failure("failed to write whole buffer");
  return ByteRead{size == 0, first};
}

Result<PyRef> py_read_varint(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(bool text_stream, binding::convert_arg(slots, 0, is_text_stream));
  if (text_stream) return read_failure("buffer size must be at least 4 bytes");

  QUORBEL_ASSIGN_OR_RETURN(PyObject * name, read_method_name());
  QUORBEL_ASSIGN_OR_RETURN(PyObject * one, one_byte_request());
  // f.read runs arbitrary code; hold f ourselves for as long as we call it.
  const PyRef f = PyRef::borrow(slots[0]);

  std::uint64_t result = 0;
  for (unsigned shift = 0;; shift += 7) {
    QUORBEL_ASSIGN_OR_RETURN(ByteRead read, read_byte(f.get(), name, one));
    if (read.end) {
      // Nothing read yet: a clean end of the stream. Otherwise the varint was cut short, and
      // answering None would hide the bytes already taken from the stream.
      if (shift == 0) return binding::new_none();
      return Error::from_core(VarintError::unexpected_end);
    }
    result |= static_cast<std::uint64_t>(read.byte & 0x7f) << shift;
    if ((read.byte & 0x80) == 0) {
      PyObject* value = PyLong_FromUnsignedLongLong(result);
      if (value == nullptr) return Error::fetch();
      return PyRef::steal(value);
    }
    if (shift == kLastShift) return Error::value_error("Invalid varint encoding");
  }
}

}  // namespace

constinit binding::Function read_varint_function{
    {"read_varint", {"f"}, 1, 1},
    binding::entry_point<read_varint_function, py_read_varint>,
    "read_varint(f)\n--\n\n"};

}  // namespace quorbel::encoding
