// A process-wide value created once, on first use, and kept until the process ends.
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/error.h"

namespace quorbel::binding {

// Holds one strong reference that is never released. A failed creation leaves the cell empty, so
// the next caller tries again.
//
// No lock is held while a value is created. Creation runs Python code (an import, an attribute
// lookup, and with them import hooks and finalisers), and that code may call back into quorbel and
// need this very cell, on the same thread or on a thread that the creator waits for; a lock would
// deadlock both. So racing creators each make a value, the first to publish it wins, and the others
// drop theirs. Every creation must therefore be an idempotent look-up whose results are
// interchangeable.
class OnceCell {
 public:
  // `create`: () -> Result<PyObject*> holding a new reference. Returns a borrowed reference. Call
  // attached to the interpreter.
  template <class Create>
  Result<PyObject*> get_or_create(Create create) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    Result<PyObject*> made = create();
    if (!made.ok()) return made;
    PyObject* published = nullptr;
    if (value_.compare_exchange_strong(published, *made, std::memory_order_acq_rel)) return *made;
    Py_DECREF(*made);  // another creator was first; its value is as good
    return published;
  }

  PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

}  // namespace quorbel::binding
