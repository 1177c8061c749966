// Conversions between Python objects and native values.
//
// Every converter takes a borrowed reference and returns the native value or an error value; none
// of them applies the argument prefix (convert_arg does that for whole arguments).
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "binding/cached_types.h"
#include "binding/error.h"
#include "binding/object_lock.h"
#include "binding/py_ref.h"
#include "common/bytes.h"

namespace quorbel::binding {

// --- integers -------------------------------------------------------------------------------

// int, bool or __index__ via PyLong_AsLong; the interpreter's TypeError or OverflowError.
inline Result<std::int64_t> to_i64(PyObject* value) {
  long converted = PyLong_AsLong(value);
  if (converted == -1 && PyErr_Occurred()) return Error::fetch();
  return static_cast<std::int64_t>(converted);
}

// As to_i64, then OverflowError "out of range integral type conversion attempted" outside 32 bits.
inline Result<std::int32_t> to_i32(PyObject* value) {
  long converted = PyLong_AsLong(value);
  if (converted == -1 && PyErr_Occurred()) return Error::fetch();
  if (converted < INT32_MIN || converted > INT32_MAX) return Error::overflow();
  return static_cast<std::int32_t>(converted);
}

// int directly, anything else through __index__; OverflowError for negatives and 2**64 or more.
Result<std::uint64_t> to_u64(PyObject* value);

// --- text, bytes, containers ----------------------------------------------------------------

// The UTF-8 form of a str, viewed in place (valid while `value` lives).
Result<std::string_view> to_text(PyObject* value);

// The contents of a bytes object, viewed in place (valid while `value` lives).
inline Result<ByteSpan> to_byte_span(PyObject* value) {
  if (!PyBytes_Check(value)) return Error::cast(value, "bytes");
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(value)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
}

// `value` itself when it is a list (or subclass).
inline Result<PyObject*> to_list(PyObject* value) {
  if (!PyList_Check(value)) return Error::cast(value, "list");
  return value;
}

// `value` itself when it is a tuple (or subclass) of exactly `length` items.
Result<PyObject*> to_tuple(PyObject* value, Py_ssize_t length);

// True, False, or a NumPy boolean scalar.
Result<bool> to_bool(PyObject* value);

// --- sequences ------------------------------------------------------------------------------

// The one walk over a list: visits its items by index while the index is below both `limit` and
// the length, read again before each item (Py_SSIZE_T_MAX: as far as the list goes, as its
// iterator does). Each item is first offered to `plain` (PyObject* borrowed -> bool) inside the
// list's critical section, where it may take the item without running Python code and return
// true; any other item is taken as a new reference and handed to `visit` (PyObject* -> Status)
// outside the section, so `visit` may run Python code that changes the list. The first failing
// visit ends the walk.
template <class Visit, class Plain>
Status walk_list(PyObject* list, Py_ssize_t limit, Visit visit, Plain plain) {
  for (Py_ssize_t index = 0;; ++index) {
    PyRef item;
    {
      ObjectLock lock(list);
      if (index >= std::min(PyList_GET_SIZE(list), limit)) break;
      PyObject* borrowed = PyList_GET_ITEM(list, index);
      if (plain(borrowed)) continue;
      item = PyRef::borrow(borrowed);
    }
    QUORBEL_TRY(visit(item.get()));
  }
  return ok();
}

template <class Visit>
Status walk_list(PyObject* list, Py_ssize_t limit, Visit visit) {
  return walk_list(list, limit, visit, [](PyObject*) noexcept { return false; });
}

// Checks that `value` can be converted as a vector (a sequence other than str) and returns the
// capacity to reserve for it.
Result<std::size_t> vector_capacity(PyObject* value);

// Converts a sequence other than str element by element, in iteration order, with `convert`
// (PyObject* -> Result<T>). The first failing element ends the conversion.
template <class T, class Convert>
Result<std::vector<T>> to_vector(PyObject* value, Convert convert) {
  QUORBEL_ASSIGN_OR_RETURN(std::size_t capacity, vector_capacity(value));
  std::vector<T> out;
  out.reserve(capacity);
  auto append = [&](PyObject* item) -> Status {
    QUORBEL_ASSIGN_OR_RETURN(T converted, convert(item));
    out.push_back(std::move(converted));
    return ok();
  };
  // Exact lists and tuples are visited by index, as their iterators would visit them, without an
  // iterator object and a call per item.
  if (PyList_CheckExact(value)) {
    QUORBEL_TRY(walk_list(value, PY_SSIZE_T_MAX, append));
    return out;
  }
  if (PyTuple_CheckExact(value)) {
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(value); ++index) {
      const PyRef item = PyRef::borrow(PyTuple_GET_ITEM(value, index));
      QUORBEL_TRY(append(item.get()));
    }
    return out;
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) return Error::fetch();
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) QUORBEL_TRY(append(item.get()));
  if (PyErr_Occurred()) return Error::fetch();
  return out;
}

// The list's length, read under its critical section.
inline Py_ssize_t list_length(PyObject* list) {
  ObjectLock lock(list);
  return PyList_GET_SIZE(list);
}

// --- results --------------------------------------------------------------------------------

// A new bytes object holding a copy of `bytes`.
inline Result<PyRef> new_bytes(ByteSpan bytes) {
  PyObject* object = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<Py_ssize_t>(bytes.size()));
  if (object == nullptr) return Error::fetch();
  return PyRef::steal(object);
}

// A new reference to None.
inline PyRef new_none() noexcept { return PyRef::steal(Py_NewRef(Py_None)); }

}  // namespace quorbel::binding
