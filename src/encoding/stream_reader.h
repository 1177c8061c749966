// Python entry points: read_varint.
#pragma once

#include <Python.h>

#include "binding/arguments.h"

namespace quorbel::encoding {

const binding::ArgumentSpec& read_varint_spec() noexcept;

// read_varint(...) -> int | None
PyObject* py_read_varint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

}  // namespace quorbel::encoding
