#include "binding/fault.h"

#include <Python.h>

#include <cstdio>
#include <cstdlib>

namespace quorbel::binding {

void fault(const char* message) noexcept {
  if (PyErr_Occurred()) {
    PyErr_Print();
    std::fputs("quorbel: internal fault: Python API call failed\n", stderr);
  }
  std::fprintf(stderr, "quorbel: internal fault: %s\n", message);
  std::fflush(stderr);
  std::abort();
}

}  // namespace quorbel::binding
