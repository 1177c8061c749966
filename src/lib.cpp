// The quorbel module: its definition, its function table and PyInit_quorbel.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "binding/arguments.h"
#include "binding/error.h"
#include "binding/once_cell.h"
#include "binding/py_ref.h"
#include "functions.h"

namespace quorbel {
namespace {

using binding::Error;
using binding::PyRef;
using binding::Result;
using binding::Status;

constexpr const char kAuthor[] = "The quorbel developers";
constexpr const char kEmail[] = "maintainers@quorbel.invalid";

// In registration order.
binding::Function* const functions[] = {
    &encoding::encode_posting_list_function, &encoding::encode_varint_function,
    &encoding::decode_posting_list_function, &blockfile::read_term_at_offset_function,
    &blockfile::iter_block_terms_function,   &blockfile::write_binary_block_function,
    &blockfile::get_block_stats_function,    &encoding::merge_posting_lists_function,
    &encoding::read_varint_function,
};
constexpr std::size_t kFunctionCount = std::size(functions);

// The method definitions the function objects point at, made once for the process.
std::array<PyMethodDef, kFunctionCount>& method_definitions() {
  static std::array<PyMethodDef, kFunctionCount> definitions = [] {
    std::array<PyMethodDef, kFunctionCount> made{};
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
      const binding::Function& function = *functions[i];
      made[i] = {function.signature.function,
                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function.entry)),
                 METH_FASTCALL | METH_KEYWORDS, function.doc};
    }
    return made;
  }();
  return definitions;
}

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "quorbel",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods: functions are added one by one
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

// Appends `name` to the module's __all__ (creating the list if needed) and sets the attribute.
Status add_public(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::fetch();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all) return Error::fetch();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Error::fetch();
  } else if (!PyList_Check(all.get())) {
    return Error::cast(all.get(), "list");
  }
  PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
  if (!name_object) return Error::fetch();
  if (PyList_Append(all.get(), name_object.get()) < 0) return Error::fetch();
  if (PyObject_SetAttr(module, name_object.get(), value) < 0) return Error::fetch();
  return binding::ok();
}

Status add_text(PyObject* module, const char* name, const char* text) {
  PyRef value = PyRef::steal(PyUnicode_FromString(text));
  if (!value) return Error::fetch();
  return add_public(module, name, value.get());
}

Status add_function(PyObject* module, PyObject* module_name, binding::Function& function,
                    PyMethodDef& method) {
  QUORBEL_TRY(binding::intern_parameter_names(function.signature));
  PyRef object = PyRef::steal(PyCMethod_New(&method, module, module_name, nullptr));
  if (!object) return Error::fetch();
  PyRef name = PyRef::steal(PyObject_GetAttrString(object.get(), "__name__"));
  if (!name) return Error::fetch();
  if (!PyUnicode_Check(name.get())) return Error::cast(name.get(), "str");
  const char* utf8 = PyUnicode_AsUTF8(name.get());
  if (utf8 == nullptr) return Error::fetch();
  return add_public(module, utf8, object.get());
}

Status populate(PyObject* module) {
  QUORBEL_TRY(add_text(module, "__author__", kAuthor));
  QUORBEL_TRY(add_text(module, "__email__", kEmail));
  QUORBEL_TRY(add_text(module, "__package__", "quorbel"));
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return Error::fetch();
  std::array<PyMethodDef, kFunctionCount>& methods = method_definitions();
  for (std::size_t i = 0; i < kFunctionCount; ++i) {
    QUORBEL_TRY(add_function(module, module_name.get(), *functions[i], methods[i]));
  }
  return binding::ok();
}

Result<PyObject*> create_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return Error::fetch();
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_USED) < 0) return Error::fetch();
#endif
  QUORBEL_TRY(populate(module.get()));
  return module.release();
}

// The interpreter that imported the module first; the module cannot serve any other.
std::atomic<std::int64_t> main_interpreter_id{-1};

Result<PyObject*> init() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return Error::fetch();
  std::int64_t expected = -1;
  if (!main_interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
    return Error::deferred(
        PyExc_ImportError,
        "quorbel does not support subinterpreters yet: it can be imported only by the first "
        "interpreter of a process that imports it");
  }
  // Threads that import at once may each build a module (they cannot wait for one another: a
  // creator may run code that waits for them); only the first one published is ever returned.
  static binding::OnceCell module_cell;
  Result<PyObject*> module = module_cell.get_or_create(create_module);
  if (!module.ok()) return module;
  return Py_NewRef(*module);
}

}  // namespace
}  // namespace quorbel

PyMODINIT_FUNC PyInit_quorbel(void) {
  // A module half populated when memory ran out is dropped with everything it holds; nothing is
  // cached, so the import can be tried again.
  try {
    quorbel::binding::Result<PyObject*> module = quorbel::init();
    if (!module.ok()) {
      std::move(module).take_error().raise();
      return nullptr;
    }
    return *module;
  } catch (const std::bad_alloc&) {
    return quorbel::binding::raise_no_memory();
  }
}
