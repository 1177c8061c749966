// A process-wide value created once, on first use, and kept until the process ends.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "binding/error.h"

namespace quorbel::binding {

// Holds one strong reference that is never released. A failed creation leaves the cell empty, so
// the next caller tries again.
class OnceCell {
 public:
  // `create`: () -> Result<PyObject*> holding a new reference. Returns a borrowed reference.
  template <class Create>
  Result<PyObject*> get_or_create(Create create) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    // Detach before waiting: the thread creating the value may need the interpreter.
    PyThreadState* state = PyEval_SaveThread();
    std::lock_guard lock(mutex_);
    PyEval_RestoreThread(state);
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    Result<PyObject*> made = create();
    if (made.ok()) value_.store(*made, std::memory_order_release);
    return made;
  }

  PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;  // only ever taken while detached from the interpreter
};

}  // namespace quorbel::binding
