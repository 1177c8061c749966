// store_groups(contents, group_size, zlib_version, level): the Python face of store_groups.h. The
// texts are encoded and deflated without the GIL (other threads run meanwhile); the tuple made of
// the contents keeps every text alive, and a str's code points never change.
#include "store_binding.h"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "arguments.h"
#include "binding/py_ref.h"
#include "store_groups.h"

namespace minisearch::kernels {
namespace {

using quorbel::binding::PyRef;

// The thread runs without the GIL (its thread state detached) while this lives.
class Detached {
 public:
  Detached() noexcept : state_(PyEval_SaveThread()) {}
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  ~Detached() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

CodePoints code_points_of(PyObject* text) {
  if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "contents must be str");
  return {PyUnicode_DATA(text), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)),
          static_cast<int>(PyUnicode_KIND(text))};
}

PyObject* store_groups(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) raise(PyExc_TypeError, "store_groups takes 4 arguments");
  if (!PyList_CheckExact(args[0])) raise(PyExc_TypeError, "contents must be a list");
  const std::int64_t group_size = to_int(args[1], "group_size");
  if (group_size < 1) raise(PyExc_ValueError, "group_size must be at least 1");
  if (!PyUnicode_Check(args[2])) raise(PyExc_TypeError, "the zlib version must be str");
  const char* version = PyUnicode_AsUTF8(args[2]);
  if (version == nullptr) throw PythonError{};
  const std::int64_t level = to_int(args[3], "level");
  if (level < 0 || level > 9) raise(PyExc_ValueError, "level must be 0 to 9");
  const std::unique_ptr<Deflater> deflater =
      Deflater::make(version, static_cast<int>(level), false);
  if (deflater == nullptr) Py_RETURN_NONE;

  const PyRef held = PyRef::steal(PyList_AsTuple(args[0]));
  if (held.get() == nullptr) throw PythonError{};
  const Py_ssize_t count = PyTuple_GET_SIZE(held.get());
  std::vector<CodePoints> texts;
  texts.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i)
    texts.push_back(code_points_of(PyTuple_GET_ITEM(held.get(), i)));
  StoreOutcome outcome;
  {
    const Detached detached;
    outcome = store_groups(texts, static_cast<std::size_t>(group_size), *deflater);
  }
  if (outcome.invalid_text) {
    // Python's own encoder names the character and its place, as the Python code's error does.
    PyObject* text = PyTuple_GET_ITEM(held.get(), static_cast<Py_ssize_t>(*outcome.invalid_text));
    const PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(text));
    if (encoded.get() == nullptr) throw PythonError{};
    raise(PyExc_SystemError, "a text the kernel could not encode encodes");
  }
  const StoreGroups& groups = outcome.groups;
  const PyRef data = PyRef::steal(
      PyBytes_FromStringAndSize(groups.data.data(), static_cast<Py_ssize_t>(groups.data.size())));
  const PyRef sizes = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(groups.sizes.size())));
  if (data.get() == nullptr || sizes.get() == nullptr) throw PythonError{};
  for (std::size_t i = 0; i < groups.sizes.size(); ++i) {
    PyObject* size = PyLong_FromUnsignedLongLong(groups.sizes[i]);
    if (size == nullptr) throw PythonError{};
    PyTuple_SET_ITEM(sizes.get(), static_cast<Py_ssize_t>(i), size);
  }
  return PyTuple_Pack(2, data.get(), sizes.get());
}

}  // namespace

PyObject* py_store_groups(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    return store_groups(args, nargs);
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

}  // namespace minisearch::kernels
