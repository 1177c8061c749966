// Per-object critical section on free-threaded interpreters; nothing on GIL builds.
#pragma once

#include <Python.h>

namespace quorbel::binding {

#ifdef Py_GIL_DISABLED
// Holds the critical section of one object for the lifetime of the guard. Keep the guarded region
// free of calls that can run Python code.
class ObjectLock {
 public:
  explicit ObjectLock(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
  ~ObjectLock() { PyCriticalSection_End(&section_); }
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

 private:
  PyCriticalSection section_;
};
#else
// With a global lock, holding the interpreter already serialises access to the object.
struct ObjectLock {
  explicit ObjectLock(PyObject*) noexcept {}
};
#endif

}  // namespace quorbel::binding
