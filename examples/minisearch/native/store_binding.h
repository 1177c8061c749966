// The document store kernel's entry points (METH_FASTCALL), registered by module.cpp.
#pragma once

#include <Python.h>

namespace minisearch::kernels {

// store_groups_start(contents, group_size, zlib_version, level) -> the groups being made on a
// thread of the kernels' own, or None when the kernels do not carry the zlib of zlib_version;
// see minisearch.native_build.
PyObject* py_store_groups_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// store_groups_result(started) -> (groups bytes, (size, ...)), once the thread is done.
PyObject* py_store_groups_result(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace minisearch::kernels
