// The document store kernel's entry point (METH_FASTCALL), registered by module.cpp.
#pragma once

#include <Python.h>

namespace minisearch::kernels {

// store_groups(contents, group_size, zlib_version, level) -> (groups bytes, (size, ...)) or None
// when the kernels do not carry the zlib of zlib_version; see minisearch.native_build.
PyObject* py_store_groups(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace minisearch::kernels
