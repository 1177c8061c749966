// read_varint(f)
#include "encoding/stream_reader.h"

#include <cstdint>
#include <string>

#include "binding/cached_types.h"
#include "binding/convert.h"
#include "binding/object_lock.h"
#include "binding/once_cell.h"
#include "encoding/varint_errors.h"

namespace quorbel::encoding {

using binding::Error;
using binding::PyRef;
using binding::Result;
using binding::Slots;

namespace {

constinit const binding::ArgumentSpec kReadVarintSpec{"read_varint", {"f"}, 1, 1};

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

// --- the text-stream check, with a per-type memo ---------------------------------------------
//
// isinstance(f, io.TextIOBase) goes through ABCMeta.__instancecheck__, a Python-level call that
// costs more than reading a one-byte varint. Its answer depends only on type(f) and on the state
// of the ABC machinery, as long as f.__class__ is type(f) for every instance of the type. So the
// answer is kept per thread for the last type seen, and used again only while none of what it
// depends on has changed:
//   * type(f), io.TextIOBase and its metaclass keep their version tags: setting any attribute on
//     them or on one of their bases, or assigning __bases__, clears a type's tag;
//   * abc.get_cache_token() is unchanged: it moves on every register() of any ABC, the one event
//     that invalidates the ABC machinery's own negative caches;
//   * type(f) reads __class__ the plain way (generic attribute lookup finding object.__class__),
//     so that the instance cannot answer for itself; other types are never memoised.
// Every check the memo does not answer runs isinstance itself, so the answers are the same.

struct TextStreamMemo {
  PyTypeObject* type = nullptr;  // compared by address only, while an instance of it is alive
  unsigned int type_tag = 0;
  unsigned int base_tag = 0;
  PyTypeObject* meta = nullptr;
  unsigned int meta_tag = 0;
  unsigned long long token = 0;
  bool answer = false;
};

struct TextStreamState {
  unsigned int type_tag;
  unsigned int base_tag;
  PyTypeObject* meta;
  unsigned int meta_tag;
  unsigned long long token;

  friend bool operator==(const TextStreamState&, const TextStreamState&) = default;
};

thread_local TextStreamMemo text_stream_memo;

// The version tag of `type`, assigned if it has none; 0 when none can be had.
unsigned int version_tag(PyTypeObject* type) noexcept {
  if (__atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE) == 0) {
    (void)PyUnstable_Type_AssignVersionTag(type);
  }
  return __atomic_load_n(&type->tp_version_tag, __ATOMIC_ACQUIRE);
}

// Everything the answer for `type` depends on; false (with no exception set) when it cannot be
// read, which only means "do not use the memo".
bool read_state(PyTypeObject* type, PyObject* text_io_base, TextStreamState& out) {
  Result<PyObject*> token_function = binding::abc_cache_token_function();
  if (!token_function.ok()) {
    PyErr_Clear();
    return false;
  }
  PyRef token = PyRef::steal(PyObject_CallNoArgs(*token_function));
  const unsigned long long value = token ? PyLong_AsUnsignedLongLong(token.get()) : 0;
  if (!token || PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  auto* base = reinterpret_cast<PyTypeObject*>(text_io_base);
  out = {version_tag(type), version_tag(base), Py_TYPE(text_io_base), version_tag(Py_TYPE(text_io_base)),
         value};
  return out.type_tag != 0 && out.base_tag != 0 && out.meta_tag != 0;
}

// Whether instances of `type` answer f.__class__ with type(f) whatever they hold.
bool has_plain_class_attribute(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  static binding::OnceCell cell;
  Result<PyObject*> interned = cell.get_or_create([]() -> Result<PyObject*> {
    PyObject* created = PyUnicode_InternFromString("__class__");
    if (created == nullptr) return Error::fetch();
    return created;
  });
  if (!interned.ok()) {
    // Not memoising is always correct; the error is not the caller's.
    std::move(interned).take_error().raise();
    PyErr_Clear();
    return false;
  }
  PyObject* name = *interned;
  // The first __class__ along the MRO must be object's own descriptor.
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    PyRef dict = PyRef::steal(PyType_GetDict(base));
    if (!dict) {
      PyErr_Clear();
      return false;
    }
    PyObject* found = nullptr;
    const int got = PyDict_GetItemRef(dict.get(), name, &found);
    if (got < 0) {
      PyErr_Clear();
      return false;
    }
    if (got == 1) {
      Py_DECREF(found);  // kept alive by the type's dict, which `mro` holds
      return base == &PyBaseObject_Type;
    }
  }
  return false;
}

// isinstance(f, io.TextIOBase); a failure of the import or of the check counts as a failed
// conversion of the argument.
Result<bool> is_text_stream(PyObject* f) {
  Result<PyObject*> text_io_base = binding::text_io_base_type();
  if (!text_io_base.ok()) return std::move(text_io_base).take_error();
  PyTypeObject* type = Py_TYPE(f);
  TextStreamMemo& memo = text_stream_memo;
  TextStreamState before{};
  const bool known = read_state(type, *text_io_base, before);
  if (known && memo.type == type &&
      before == TextStreamState{memo.type_tag, memo.base_tag, memo.meta, memo.meta_tag,
                                memo.token}) {
    return memo.answer;
  }
  int is_instance = PyObject_IsInstance(f, *text_io_base);
  if (is_instance < 0) return Error::fetch();
  // Kept only if the check itself changed nothing it depends on.
  TextStreamState after{};
  if (known && read_state(type, *text_io_base, after) && after == before &&
      has_plain_class_attribute(type)) {
    memo = {type, after.type_tag, after.base_tag, after.meta, after.meta_tag, after.token,
            is_instance == 1};
  }
  return is_instance == 1;
}

// The error for an exception pending from f.read (InterruptedError already handled).
[[gnu::cold]] Error read_exception_error() {
  // Interrupts and exit requests (KeyboardInterrupt, SystemExit, GeneratorExit) are not read
  // failures: turning them into an OSError would stop a caller's Ctrl-C or shutdown.
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return Error::fetch();
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  return read_failure(binding::exception_text(exception.get()));
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

Result<PyRef> read_varint(const Slots& slots) {
  Result<bool> text_stream = binding::convert_arg(slots, 0, is_text_stream);
  if (!text_stream.ok()) return std::move(text_stream).take_error();
  if (*text_stream) return read_failure("buffer size must be at least 4 bytes");

  Result<PyObject*> name = read_method_name();
  if (!name.ok()) return std::move(name).take_error();
  Result<PyObject*> one = one_byte_request();
  if (!one.ok()) return std::move(one).take_error();
  // f.read runs arbitrary code; hold f ourselves for as long as we call it.
  const PyRef f = PyRef::borrow(slots[0]);

  std::uint64_t result = 0;
  for (unsigned shift = 0;; shift += 7) {
    Result<ByteRead> read = read_byte(f.get(), *name, *one);
    if (!read.ok()) return std::move(read).take_error();
    if (read->end) {
      // Nothing read yet: a clean end of the stream. Otherwise the varint was cut short, and
      // answering None would hide the bytes already taken from the stream.
      if (shift == 0) return binding::new_none();
      return varint_error(DecodeStatus::unexpected_end);
    }
    result |= static_cast<std::uint64_t>(read->byte & 0x7f) << shift;
    if ((read->byte & 0x80) == 0) {
      PyObject* value = PyLong_FromUnsignedLongLong(result);
      if (value == nullptr) return Error::fetch();
      return PyRef::steal(value);
    }
    if (shift == kLastShift) return Error::value_error("Invalid varint encoding");
  }
}

}  // namespace

const binding::ArgumentSpec& read_varint_spec() noexcept { return kReadVarintSpec; }

PyObject* py_read_varint(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return binding::call(kReadVarintSpec, args, nargs, kwnames, read_varint);
}

}  // namespace quorbel::encoding
