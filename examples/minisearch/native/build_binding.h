// The build kernels' entry points (METH_FASTCALL), registered by module.cpp.
#pragma once

#include <Python.h>

namespace minisearch::kernels {

// build_block(titles, contents, first_doc, partitions, positions, max_length, tokenize, zlib)
// -> (lengths, postings, [(terms, block bytes, positions bytes or None) per partition]); see
// minisearch.native_build.
PyObject* py_build_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// merge_blocks(inputs, read, norms, lengths, settings, postings_path, positions_path, zlib)
// -> (terms, columns, postings, postings file size, positions file size or None); see
// minisearch.native_build. A damaged input raises ValueError((its number, what is wrong)).
PyObject* py_merge_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// count_documents(titles, contents, max_length, tokenize) -> {term: documents holding it}, the
// documents tokenised as build_block does.
PyObject* py_count_documents(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace minisearch::kernels
