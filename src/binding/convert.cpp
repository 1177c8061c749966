#include "binding/convert.h"

#include <string>

namespace quorbel::binding {

Result<std::uint64_t> to_u64(PyObject* value) {
  PyRef index;
  if (!PyLong_Check(value)) {
    index = PyRef::steal(PyNumber_Index(value));
    if (!index) return Error::fetch();
    value = index.get();
  }
  unsigned long long converted = PyLong_AsUnsignedLongLong(value);
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
  return static_cast<std::uint64_t>(converted);
}

Result<std::string_view> to_text(PyObject* value) {
  if (!PyUnicode_Check(value)) return Error::cast(value, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) return Error::fetch();  // a lone surrogate: UnicodeEncodeError
  return std::string_view(utf8, static_cast<std::size_t>(size));
}

Result<PyObject*> to_tuple(PyObject* value, Py_ssize_t length) {
  if (!PyTuple_Check(value)) return Error::cast(value, "tuple");
  Py_ssize_t actual = PyTuple_GET_SIZE(value);
  if (actual != length) {
    return Error::value_error("expected tuple of length " + std::to_string(length) +
                              ", but got tuple of length " + std::to_string(actual));
  }
  return value;
}

namespace {

// Whether `type` is NumPy's boolean scalar type; any failure to tell counts as "no".
bool is_numpy_bool_type(PyTypeObject* type) {
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  if (!module || !PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    PyErr_Clear();
    return false;
  }
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0;
}

}  // namespace

Result<bool> to_bool(PyObject* value) {
  if (Py_IS_TYPE(value, &PyBool_Type)) return value == Py_True;
  PyTypeObject* type = Py_TYPE(value);
  if (!is_numpy_bool_type(type)) return Error::cast(value, "bool");
  inquiry nb_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
  if (nb_bool == nullptr) {
    QUORBEL_ASSIGN_OR_RETURN(std::string name, display_text(reinterpret_cast<PyObject*>(type)));
    return Error::type_error("object of type '" + name +
                             "' does not define a '__bool__' conversion");
  }
  int truth = nb_bool(value);
  if (truth == 0) return false;
  if (truth == 1) return true;
  return Error::fetch();
}

Result<std::size_t> vector_capacity(PyObject* value) {
  if (PyUnicode_Check(value)) return Error::type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) {
    QUORBEL_TRY(sequence_type());  // a failed import of collections.abc is the error
    return Error::cast(value, "Sequence");
  }
  // Exact lists and tuples know their length; any other sequence may report whatever it likes,
  // so reserve at most a modest amount and let the vector grow as items arrive.
  constexpr Py_ssize_t kTrustedReserveLimit = Py_ssize_t{1} << 16;
  Py_ssize_t size = PyObject_Size(value);
  if (size < 0) {
    // Only a hint: an ordinary failure leaves the vector to grow as items arrive.
    if (!clear_ordinary_exception()) return Error::fetch();
    return std::size_t{0};
  }
  if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value)) {
    size = std::min(size, kTrustedReserveLimit);
  }
  return static_cast<std::size_t>(size);
}

}  // namespace quorbel::binding
