// store_groups_start(contents, group_size, zlib_version, level) and store_groups_result(started):
// the Python face of store_groups.h. The texts are encoded and deflated on a thread of the
// kernels' own, which never touches a Python object or the GIL (a Python thread would first need
// the GIL, which the block's build holds): the tuple made of the contents keeps every text alive,
// and a str's code points never change.
#include "store_binding.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "arguments.h"
#include "binding/py_ref.h"
#include "guarded.h"
#include "store_groups.h"

namespace minisearch::kernels {
namespace {

using quorbel::binding::PyRef;

constexpr const char* kCapsuleName = "minisearch._kernels.store_groups";

// The groups being made: what the thread reads, and what it leaves.
struct StartedStore {
  PyRef held;  // the tuple of the contents
  std::vector<CodePoints> texts;
  std::size_t group_size = 0;
  std::unique_ptr<Deflater> deflater;
  StoreOutcome outcome;
  bool out_of_memory = false;
  std::thread worker;
  std::mutex taking;  // one caller joins the thread and takes the outcome
  bool taken = false;

  void run() noexcept {
    try {
      outcome = store_groups(texts, group_size, *deflater);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
    }
  }
  void join() {
    if (worker.joinable()) worker.join();
  }
};

void destroy(PyObject* capsule) {
  auto* started = static_cast<StartedStore*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (started == nullptr) return;
  started->join();  // the thread holds no Python object and never waits for the GIL
  delete started;
}

CodePoints code_points_of(PyObject* text) {
  if (!PyUnicode_Check(text)) raise(PyExc_TypeError, "contents must be str");
  return {PyUnicode_DATA(text), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)),
          static_cast<int>(PyUnicode_KIND(text))};
}

PyObject* start(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) raise(PyExc_TypeError, "store_groups_start takes 4 arguments");
  if (!PyList_CheckExact(args[0])) raise(PyExc_TypeError, "contents must be a list");
  const std::int64_t group_size = to_int(args[1], "group_size");
  if (group_size < 1) raise(PyExc_ValueError, "group_size must be at least 1");
  if (!PyUnicode_Check(args[2])) raise(PyExc_TypeError, "the zlib version must be str");
  const char* version = PyUnicode_AsUTF8(args[2]);
  if (version == nullptr) throw PythonError{};
  const std::int64_t level = to_int(args[3], "level");
  if (level < 0 || level > 9) raise(PyExc_ValueError, "level must be 0 to 9");
  auto started = std::make_unique<StartedStore>();
  started->deflater = Deflater::make(version, static_cast<int>(level));
  if (started->deflater == nullptr) Py_RETURN_NONE;
  started->held = PyRef::steal(PyList_AsTuple(args[0]));
  if (started->held.get() == nullptr) throw PythonError{};
  const Py_ssize_t count = PyTuple_GET_SIZE(started->held.get());
  started->texts.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i)
    started->texts.push_back(code_points_of(PyTuple_GET_ITEM(started->held.get(), i)));
  started->group_size = static_cast<std::size_t>(group_size);
  StartedStore* running = started.get();
  try {
    started->worker = std::thread([running] { running->run(); });
  } catch (const std::system_error&) {  // no thread to be had: the work is done here
    Py_BEGIN_ALLOW_THREADS running->run();
    Py_END_ALLOW_THREADS
  }
  PyObject* capsule = PyCapsule_New(started.get(), kCapsuleName, destroy);
  if (capsule == nullptr) {
    started->join();
    throw PythonError{};
  }
  started.release();
  return capsule;
}

PyObject* result(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) raise(PyExc_TypeError, "store_groups_result takes 1 argument");
  auto* started = static_cast<StartedStore*>(PyCapsule_GetPointer(args[0], kCapsuleName));
  if (started == nullptr) throw PythonError{};
  {
    const std::lock_guard<std::mutex> lock(started->taking);
    if (started->taken) raise(PyExc_ValueError, "the groups were taken already");
    started->taken = true;
  }
  Py_BEGIN_ALLOW_THREADS started->join();
  Py_END_ALLOW_THREADS if (started->out_of_memory) throw std::bad_alloc();
  if (started->outcome.invalid_text) {
    // Python's own encoder names the character and its place, as the Python code's error does.
    PyObject* text = PyTuple_GET_ITEM(started->held.get(),
                                      static_cast<Py_ssize_t>(*started->outcome.invalid_text));
    const PyRef encoded = PyRef::steal(PyUnicode_AsUTF8String(text));
    if (encoded.get() == nullptr) throw PythonError{};
    raise(PyExc_SystemError, "a text the kernel could not encode encodes");
  }
  StoreGroups groups = std::move(started->outcome.groups);
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

PyObject* py_store_groups_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<start>(nullptr, args, nargs);
}

PyObject* py_store_groups_result(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<result>(nullptr, args, nargs);
}

}  // namespace minisearch::kernels
