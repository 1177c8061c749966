// Python entry points: encode_posting_list, decode_posting_list.
#pragma once

#include <Python.h>

#include "binding/arguments.h"

namespace quorbel::encoding {

const binding::ArgumentSpec& encode_posting_list_spec() noexcept;

// encode_posting_list(...) -> bytes
PyObject* py_encode_posting_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

const binding::ArgumentSpec& decode_posting_list_spec() noexcept;

// decode_posting_list(...) -> list
PyObject* py_decode_posting_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

}  // namespace quorbel::encoding
