// A document's fields as the build kernels tokenise them: ASCII text by the engine's rule in C++,
// other text by the index's Python tokenizer. Shared by the block build and the counting of
// deleted documents' terms.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
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

// One field's text as the build reads it without the GIL: ASCII text in place, tokenised later;
// other text as the terms `tokenize` gave, the list that owns them held.
struct FieldText {
  std::string_view ascii;
  quorbel::binding::PyRef tokens;
  std::vector<std::string_view> terms;
};

// Under the GIL: `text` (a str) read, or tokenised by `tokenize` when it is not ASCII.
FieldText field_text(PyObject* text, PyObject* tokenize);

// The term ids of one field: ASCII text tokenised here, other text interned as given. Needs no
// GIL while the field's text and tokens are held.
void field_terms(const FieldText& field, std::size_t max_length, TermInterner& terms,
                 std::vector<std::uint32_t>& ids);

// {term: documents holding it} of the documents added to `builder`.
quorbel::binding::PyRef term_counts(const BlockBuilder& builder);

}  // namespace minisearch::kernels
