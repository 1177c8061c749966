// Letting other Python threads run while a kernel works on C++ data alone.
#pragma once

#include <Python.h>

namespace minisearch::kernels {

// Releases the GIL (or detaches, free-threaded) for its lifetime; no Python object may be touched
// until it ends. An exception thrown meanwhile takes the GIL back as it unwinds.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;
  ~WithoutGil() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace minisearch::kernels
