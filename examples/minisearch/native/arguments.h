// Turning the kernels' Python arguments into C++ values: each check sets a Python exception and
// throws PythonError, which the entry point turns into its NULL return.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

namespace minisearch::kernels {

// A Python exception is set; unwinds to the entry point.
struct PythonError {};

[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError{};
}

inline std::int64_t to_int(PyObject* object, const char* what) {
  if (!PyLong_Check(object)) raise(PyExc_TypeError, std::string(what) + " must be an int");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (overflow != 0) raise(PyExc_OverflowError, std::string(what) + " is out of range");
  return value;
}

inline double to_double(PyObject* object, const char* what) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    raise(PyExc_TypeError, std::string(what) + " must be a number");
  }
  return value;
}

}  // namespace minisearch::kernels
