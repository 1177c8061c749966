#include "field_text.h"

#include <string>

namespace minisearch::kernels {

using quorbel::binding::PyRef;

TokenRule token_rule(PyObject* rule) {
  if (!PyTuple_CheckExact(rule) || PyTuple_GET_SIZE(rule) != 2 ||
      !PyCallable_Check(PyTuple_GET_ITEM(rule, 0)))
    raise(PyExc_TypeError, "the tokenizer rule must be a pair (prepare, marks)");
  PyObject* marks = PyTuple_GET_ITEM(rule, 1);
  if (marks != Py_None && !PyBytes_CheckExact(marks))
    raise(PyExc_TypeError, "the rule's marks must be bytes or None");
  TokenRule made{PyTuple_GET_ITEM(rule, 0), {}};
  if (marks != Py_None)
    made.marks = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(marks)),
                  static_cast<std::size_t>(PyBytes_GET_SIZE(marks))};
  return made;
}

FieldText field_text(PyObject* text, const TokenRule& rule) {
  if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "titles and contents must be str");
  FieldText field;
  if (PyUnicode_IS_ASCII(text)) {
    field.ascii = {static_cast<const char*>(PyUnicode_DATA(text)),
                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
    return field;
  }
  field.prepared = checked(PyObject_CallOneArg(rule.prepare, text));
  if (!PyUnicode_CheckExact(field.prepared.get()))
    raise(PyExc_TypeError, "the rule's prepare must return a str");
  field.marks = rule.marks;
  return field;
}

namespace {

bool is_mark(std::span<const std::uint8_t> marks, Py_UCS4 code) {
  const std::size_t byte = code >> 3;
  return byte < marks.size() && ((marks[byte] >> (code & 7)) & 1) != 0;
}

void append_utf8(std::string& out, Py_UCS4 code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The terms of prepared text, found as the rule's regular expression finds them. A lone surrogate
// (which no term may hold: UTF-8 cannot) separates terms, as it is no letter.
void prepared_terms(const FieldText& field, std::size_t max_length, TermInterner& terms,
                    std::vector<std::uint32_t>& ids) {
  PyObject* text = field.prepared.get();
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
  std::string term;
  for (Py_ssize_t at = 0; at < size;) {
    Py_UCS4 code = PyUnicode_READ(kind, data, at);
    if (!Py_UNICODE_ISALNUM(code)) {
      ++at;
      continue;
    }
    term.clear();
    std::size_t length = 0;
    do {
      append_utf8(term, code);
      ++length;
      if (++at == size) break;
      code = PyUnicode_READ(kind, data, at);
    } while (Py_UNICODE_ISALNUM(code) || is_mark(field.marks, code));
    if (length <= max_length) ids.push_back(terms.intern(term));
  }
}

}  // namespace

void field_terms(const FieldText& field, std::size_t max_length, TermInterner& terms,
                 std::vector<std::uint32_t>& ids) {
  ids.clear();
  if (!field.prepared) {
    ascii_terms(field.ascii, max_length, terms, ids);
    return;
  }
  prepared_terms(field, max_length, terms, ids);
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
