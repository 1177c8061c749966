#include "binding/cached_types.h"

#include "binding/once_cell.h"
#include "binding/py_ref.h"

namespace quorbel::binding {

namespace {

Result<PyObject*> import_attribute(const char* module_name, const char* attribute) {
  PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
  if (!module) return Error::fetch();
  PyObject* value = PyObject_GetAttrString(module.get(), attribute);
  if (value == nullptr) return Error::fetch();
  return value;
}

}  // namespace

Result<PyObject*> sequence_type() {
  static OnceCell cell;
  return cell.get_or_create([] { return import_attribute("collections.abc", "Sequence"); });
}

Result<PyObject*> text_io_base_type() {
  static OnceCell cell;
  return cell.get_or_create([] { return import_attribute("io", "TextIOBase"); });
}

}  // namespace quorbel::binding
