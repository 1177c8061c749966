// The Python functions of the phrase kernels, registered by module.cpp: phrase_postings (a
// phrase's postings in one segment) and packed_top_k (the k best of one unit given as packed
// postings). The arguments are checked in phrase_binding.cpp; see minisearch/phrase_kernels.py.
#pragma once

#include <Python.h>

namespace minisearch::kernels {

PyObject* py_phrase_postings(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* py_packed_top_k(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept;

inline constexpr const char* kPhrasePostingsDoc =
    "phrase_postings(partitions, terms, words, deleted, field)\n--\n\n"
    "A phrase's postings in one segment, as bytes of int32 (doc_id, content, title) triples in\n"
    "document order; see minisearch.phrase_kernels.";
inline constexpr const char* kPackedTopKDoc =
    "packed_top_k(weight, packed, excluded, norms, k, floor, k1, title_weight)\n--\n\n"
    "The k best (doc_id, score) of one unit given as packed postings, and the work done, as\n"
    "top_k returns them; see minisearch.phrase_kernels.";

}  // namespace minisearch::kernels
