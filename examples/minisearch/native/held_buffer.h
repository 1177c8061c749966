// A Python buffer (an array, bytes, a mapped file) held for the length of a kernel's call.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "arguments.h"

namespace minisearch::kernels {

// Items of `itemsize` bytes in `format`; a TypeError saying `what` for any other buffer.
class HeldBuffer {
 public:
  HeldBuffer(PyObject* object, const char* format, std::size_t itemsize, const char* what) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
      throw PythonError{};
    held_ = true;
    const char* found = view_.format != nullptr ? view_.format : "B";
    if (static_cast<std::size_t>(view_.itemsize) != itemsize || std::string_view(found) != format)
      raise(PyExc_TypeError, what);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  template <class T>
  std::span<const T> items() const noexcept {
    return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace minisearch::kernels
