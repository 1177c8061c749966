// Python entry points: merge_posting_lists.
#pragma once

#include <Python.h>

#include "binding/arguments.h"

namespace quorbel::encoding {

const binding::ArgumentSpec& merge_posting_lists_spec() noexcept;

// merge_posting_lists(...) -> bytes
PyObject* py_merge_posting_lists(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

}  // namespace quorbel::encoding
