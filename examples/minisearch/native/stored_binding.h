// The entry points that read documents' stored texts and titles (METH_FASTCALL), registered by
// module.cpp when the kernels carry zlib.
#pragma once

#include <Python.h>

namespace minisearch::kernels {

// json_strings(payload, wanted, count) -> [the strings at the ascending positions wanted] of a
// JSON array of `count` strings, or None when the array is not one the kernels read as Python's
// json does (the caller then reads it with json).
PyObject* py_json_strings(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// keys_among(payload, wanted, count) -> [(place, index in wanted)] of the elements of a keys
// file's JSON array of `count` keys that are among `wanted` (a list of str and int), in array
// order, or None when the array or a wanted key is not one the kernels compare as Python does.
PyObject* py_keys_among(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

// stored_terms(store, spans, members, titles, max_length, tokenize) -> {term: documents holding
// it} of documents in a document store, or None when a group is not one the kernels read (the
// caller then reads them with Python). `spans` (array("Q")) holds each group's start and end in
// `store`, `members` (array("I")) each document's group (an index into spans) and place in it,
// the groups ascending and the places ascending within a group; `titles` their titles.
PyObject* py_stored_terms(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

#ifdef MINISEARCH_LIBDEFLATE
// inflate(data) -> bytes: one whole zlib stream inflated by libdeflate, or None when it is not one
// sound stream (the caller's zlib then names the damage).
PyObject* py_inflate(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;
#endif

}  // namespace minisearch::kernels
