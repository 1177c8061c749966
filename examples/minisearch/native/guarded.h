// A kernel's entry point: its C++ errors become Python's. PythonError means an exception is set
// already; a damaged entry is a ValueError, a document beyond the norms an IndexError, memory that
// runs out a MemoryError.
#pragma once

#include <Python.h>

#include <new>

#include "arguments.h"
#include "terms.h"

namespace minisearch::kernels {

template <PyObject* (*Kernel)(PyObject* const*, Py_ssize_t)>
PyObject* guarded(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    return Kernel(args, nargs);
  } catch (const PythonError&) {
  } catch (const DamagedEntry& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const BeyondNorms& error) {
    PyErr_SetString(PyExc_IndexError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

}  // namespace minisearch::kernels
