// build_block(titles, contents, first_doc, partitions, positions, max_length, tokenize,
//             deflate_raw, compress): the Python face of BlockBuilder (build_block.h).
#include "build_binding.h"

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "binding/py_ref.h"
#include "build_block.h"

namespace minisearch::kernels {
namespace {

using quorbel::binding::PyRef;

// A Python exception is set; unwinds to the entry point.
struct PythonError {};

[[noreturn]] void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PythonError{};
}

PyRef checked(PyObject* object) {
  if (object == nullptr) throw PythonError{};
  return PyRef::steal(object);
}

std::int64_t to_int(PyObject* object, const char* what) {
  if (!PyLong_Check(object)) raise(PyExc_TypeError, what);
  const long long value = PyLong_AsLongLong(object);
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  return value;
}

std::string_view utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<std::size_t>(size)};
}

// A Compressor that calls a Python function of one bytes argument returning bytes.
Compressor compressor_of(PyObject* function) {
  return [function](std::span<const std::uint8_t> data) {
    PyRef argument = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                       static_cast<Py_ssize_t>(data.size())));
    PyRef result = checked(PyObject_CallOneArg(function, argument.get()));
    if (!PyBytes_Check(result.get())) raise(PyExc_TypeError, "a compressor must return bytes");
    return std::string(PyBytes_AS_STRING(result.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(result.get())));
  };
}

// The term ids of one field: ASCII text tokenised here, other text by `tokenize`.
void field_terms(PyObject* text, PyObject* tokenize, std::size_t max_length, TermInterner& terms,
                 std::vector<std::uint32_t>& ids) {
  ids.clear();
  if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "titles and contents must be str");
  if (PyUnicode_IS_ASCII(text)) {
    ascii_terms({static_cast<const char*>(PyUnicode_DATA(text)),
                 static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))},
                max_length, terms, ids);
    return;
  }
  PyRef tokens = checked(PyObject_CallOneArg(tokenize, text));
  if (!PyList_CheckExact(tokens.get())) raise(PyExc_TypeError, "tokenize must return a list");
  const Py_ssize_t count = PyList_GET_SIZE(tokens.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* token = PyList_GET_ITEM(tokens.get(), i);
    if (!PyUnicode_Check(token)) raise(PyExc_TypeError, "tokenize must return a list of str");
    ids.push_back(terms.intern(utf8_of(token)));
  }
}

PyObject* build_block(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 9) raise(PyExc_TypeError, "build_block takes 9 arguments");
  PyObject* titles = args[0];
  PyObject* contents = args[1];
  if (!PyList_CheckExact(titles) || !PyList_CheckExact(contents) ||
      PyList_GET_SIZE(titles) != PyList_GET_SIZE(contents))
    raise(PyExc_TypeError, "titles and contents must be lists of one length");
  const std::int64_t first_doc = to_int(args[2], "first_doc must be an int");
  const std::int64_t partitions = to_int(args[3], "partitions must be an int");
  const int positions = PyObject_IsTrue(args[4]);
  if (positions < 0) throw PythonError{};
  const std::int64_t max_length = to_int(args[5], "max_length must be an int");
  const Py_ssize_t documents = PyList_GET_SIZE(titles);
  if (first_doc < 0 || first_doc + documents > INT32_MAX)
    raise(PyExc_OverflowError, "document ids must fit in 31 bits");
  if (partitions < 1 || partitions > 1 << 20) raise(PyExc_ValueError, "partitions out of range");
  if (max_length < 0) raise(PyExc_ValueError, "max_length must not be negative");

  BlockBuilder builder(static_cast<std::int32_t>(first_doc), positions != 0);
  std::vector<std::uint32_t> lengths;
  lengths.reserve(static_cast<std::size_t>(documents));
  std::vector<std::uint32_t> title_ids, content_ids;
  for (Py_ssize_t i = 0; i < documents; ++i) {
    field_terms(PyList_GET_ITEM(titles, i), args[6], static_cast<std::size_t>(max_length),
                builder.terms(), title_ids);
    field_terms(PyList_GET_ITEM(contents, i), args[6], static_cast<std::size_t>(max_length),
                builder.terms(), content_ids);
    builder.add_document(title_ids, content_ids);
    lengths.push_back(static_cast<std::uint32_t>(title_ids.size() + content_ids.size()));
  }
  const std::vector<PartitionFiles> files = builder.finish(
      static_cast<std::size_t>(partitions), compressor_of(args[7]), compressor_of(args[8]));

  PyRef partition_list = checked(PyList_New(static_cast<Py_ssize_t>(files.size())));
  for (std::size_t p = 0; p < files.size(); ++p) {
    const PartitionFiles& file = files[p];
    PyRef postings = checked(PyBytes_FromStringAndSize(
        file.postings.data(), static_cast<Py_ssize_t>(file.postings.size())));
    PyRef where = positions != 0 ? checked(PyBytes_FromStringAndSize(
                                       file.positions.data(),
                                       static_cast<Py_ssize_t>(file.positions.size())))
                                 : PyRef::borrow(Py_None);
    PyObject* entry = Py_BuildValue("(nOO)", static_cast<Py_ssize_t>(file.terms), postings.get(),
                                    where.get());
    if (entry == nullptr) throw PythonError{};
    PyList_SET_ITEM(partition_list.get(), static_cast<Py_ssize_t>(p), entry);
  }
  PyRef length_bytes = checked(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(lengths.data()),
                                static_cast<Py_ssize_t>(lengths.size() * sizeof(std::uint32_t))));
  return Py_BuildValue("(OnO)", length_bytes.get(), static_cast<Py_ssize_t>(builder.postings()),
                       partition_list.get());
}

}  // namespace

PyObject* py_build_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    return build_block(args, nargs);
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

}  // namespace minisearch::kernels
