#include "field_text.h"

namespace minisearch::kernels {

using quorbel::binding::PyRef;

FieldText field_text(PyObject* text, PyObject* tokenize) {
  if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "titles and contents must be str");
  FieldText field;
  if (PyUnicode_IS_ASCII(text)) {
    field.ascii = {static_cast<const char*>(PyUnicode_DATA(text)),
                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
    return field;
  }
  field.tokens = checked(PyObject_CallOneArg(tokenize, text));
  if (!PyList_CheckExact(field.tokens.get())) raise(PyExc_TypeError, "tokenize must return a list");
  const Py_ssize_t count = PyList_GET_SIZE(field.tokens.get());
  field.terms.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* token = PyList_GET_ITEM(field.tokens.get(), i);
    if (!PyUnicode_Check(token)) raise(PyExc_TypeError, "tokenize must return a list of str");
    field.terms.push_back(utf8_of(token));
  }
  return field;
}

void field_terms(const FieldText& field, std::size_t max_length, TermInterner& terms,
                 std::vector<std::uint32_t>& ids) {
  ids.clear();
  if (!field.tokens) {
    ascii_terms(field.ascii, max_length, terms, ids);
    return;
  }
  for (const std::string_view term : field.terms) ids.push_back(terms.intern(term));
}

PyRef term_counts(const BlockBuilder& builder) {
  PyRef counts = checked(PyDict_New());
  for (std::uint32_t id = 0; id < builder.terms().size(); ++id) {
    const std::string_view text = builder.terms().text(id);
    PyRef term =
        checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    PyRef count = checked(PyLong_FromSize_t(builder.documents_holding(id)));
    if (PyDict_SetItem(counts.get(), term.get(), count.get()) < 0) throw PythonError{};
  }
  return counts;
}

}  // namespace minisearch::kernels
