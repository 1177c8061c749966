// Owning handle for one strong Python reference.
#pragma once

#include <Python.h>

#include <utility>

namespace quorbel::binding {

// Move-only owner of a strong reference (or of nothing). Arguments handed to the module stay plain
// borrowed PyObject*; every new reference the module receives goes straight into PyRef::steal.
// Process-lifetime objects never live in a PyRef: its destructor could run after finalisation.
class PyRef {
 public:
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef() noexcept = default;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    // Drop the old reference last: its finaliser may run arbitrary code.
    Py_XDECREF(std::exchange(object_, std::exchange(other.object_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quorbel::binding
