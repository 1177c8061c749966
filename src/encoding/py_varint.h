// Python entry point for the varint encoder.
#pragma once

#include <Python.h>

#include "binding/arguments.h"

namespace quorbel::encoding {

const binding::ArgumentSpec& encode_varint_spec() noexcept;

// encode_varint(n) -> bytes
PyObject* py_encode_varint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;

}  // namespace quorbel::encoding
