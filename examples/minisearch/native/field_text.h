// A document's fields as the build kernels tokenise them: ASCII text by the engine's rule in C++,
// other text lower-cased and composed by the index's Python tokenizer, its terms then found in C++.
// Shared by the block build and the counting of deleted documents' terms.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "arguments.h"
#include "binding/py_ref.h"
#include "build_block.h"
#include "build_terms.h"

namespace minisearch::kernels {

// A new reference, or PythonError when the call that made it failed.
inline quorbel::binding::PyRef checked(PyObject* object) {
  if (object == nullptr) throw PythonError{};
  return quorbel::binding::PyRef::steal(object);
}

// A str's UTF-8 bytes, cached by the str itself.
inline std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

// How the index's rule makes terms of text that is not ASCII, read from its Python form, a pair:
// `prepare` gives the text the terms are found in (lower-cased, composed), and `marks` is a bitmap
// (bit `c % 8` of byte `c / 8`) of the code points that continue a term without starting one, or
// None when they separate terms. A term is a letter or digit (str.isalnum) followed by letters,
// digits and those marks. Borrowed: valid while the caller's argument is.
struct TokenRule {
  PyObject* prepare = nullptr;
  std::span<const std::uint8_t> marks;
};

// Under the GIL: the rule given as a kernel's argument; TypeError when it is not such a pair.
TokenRule token_rule(PyObject* rule);

// One field's text as the build reads it without the GIL: ASCII text in place; other text as the
// rule prepared it, the str held.
struct FieldText {
  std::string_view ascii;
  quorbel::binding::PyRef prepared;
  std::span<const std::uint8_t> marks;
};

// Under the GIL: `text` (a str) read, or prepared by the rule when it is not ASCII.
FieldText field_text(PyObject* text, const TokenRule& rule);

// The term ids of one field, terms longer than `max_length` characters left out. Needs no GIL
// while the field's text is held.
void field_terms(const FieldText& field, std::size_t max_length, TermInterner& terms,
                 std::vector<std::uint32_t>& ids);

// {term: documents holding it} of the documents added to `builder`.
quorbel::binding::PyRef term_counts(const BlockBuilder& builder);

}  // namespace minisearch::kernels
