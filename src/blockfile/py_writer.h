// Python entry points: write_binary_block.
#pragma once

#include <Python.h>

#include "binding/arguments.h"

namespace quorbel::blockfile {

const binding::ArgumentSpec& write_binary_block_spec() noexcept;

// write_binary_block(...) -> None
PyObject* py_write_binary_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

}  // namespace quorbel::blockfile
