// The build kernels' entry points, registered by module.cpp.
#pragma once

#include <Python.h>

namespace minisearch::kernels {

// build_block(titles, contents, first_doc, partitions, positions, max_length, tokenize,
//             deflate_raw, compress) -> (lengths, postings, [(terms, block bytes, positions bytes
// or None) per partition]); see minisearch.native_build.
PyObject* py_build_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace minisearch::kernels

#define MINISEARCH_BUILD_METHODS                                                                \
  {"build_block",                                                                               \
   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(minisearch::kernels::py_build_block)), \
   METH_FASTCALL,                                                                               \
   "build_block(titles, contents, first_doc, partitions, positions, max_length, tokenize,\n"    \
   "            deflate_raw, compress)\n--\n\n"                                                \
   "One block's partition files and its documents' lengths; see minisearch.native_build."},
