// The quorbel module: its definition, its function table and PyInit_quorbel.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/arguments.h"
#include "binding/error.h"
#include "binding/once_cell.h"
#include "binding/py_ref.h"
#include "blockfile/py_readers.h"
#include "blockfile/py_writer.h"
#include "encoding/py_merge.h"
#include "encoding/py_postings.h"
#include "encoding/py_varint.h"
#include "encoding/stream_reader.h"

namespace quorbel {
namespace {

using binding::Error;
using binding::PyRef;
using binding::Result;
using binding::Status;

constexpr const char kAuthor[] = "The quorbel developers";
constexpr const char kEmail[] = "maintainers@quorbel.invalid";

struct Function {
  PyMethodDef method;
  const binding::ArgumentSpec& (*signature)() noexcept;
};

#define QUORBEL_FASTCALL(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))

// In registration order.
Function functions[] = {
    {{"encode_posting_list", QUORBEL_FASTCALL(encoding::py_encode_posting_list),
      METH_FASTCALL | METH_KEYWORDS,
      "encode_posting_list(postings, assume_sorted=False)\n--\n\n"
      "Encode a posting list using delta encoding and varint compression.\n\n"
      "Postings are sorted by document ID and delta-encoded:\n"
      "- First doc_id is stored as-is\n"
      "- Subsequent doc_ids are stored as deltas\n\n"
      "Args:\n"
      "    postings: List of (doc_id, content_freq, title_freq) tuples.\n"
      "    assume_sorted: If True, skip sorting (postings already sorted by doc_id).\n\n"
      "Returns:\n"
      "    Compressed bytes representation of the posting list."},
     encoding::encode_posting_list_spec},
    {{"encode_varint", QUORBEL_FASTCALL(encoding::py_encode_varint), METH_FASTCALL | METH_KEYWORDS,
      "encode_varint(n)\n--\n\nEncode an integer using variable-length encoding (varint)."},
     encoding::encode_varint_spec},
    {{"decode_posting_list", QUORBEL_FASTCALL(encoding::py_decode_posting_list),
      METH_FASTCALL | METH_KEYWORDS,
      "decode_posting_list(data)\n--\n\n"
      "Decode a posting list from compressed bytes.\n\n"
      "Args:\n"
      "    data: Compressed bytes representation of the posting list.\n\n"
      "Returns:\n"
      "    List of (doc_id, content_freq, title_freq) tuples."},
     encoding::decode_posting_list_spec},
    {{"read_term_at_offset", QUORBEL_FASTCALL(blockfile::py_read_term_at_offset),
      METH_FASTCALL | METH_KEYWORDS,
      "read_term_at_offset(file_path, offset)\n--\n\n"
      "Read a term from a binary block file.\n\n"
      "Args:\n"
      "    file_path: Path to the binary block file.\n"
      "    offset: Byte offset where the term starts.\n\n"
      "Returns:\n"
      "    Tuple of (term, doc_freq_content, doc_freq_title, postings, next_offset)\n"
      "    or None if end of file."},
     blockfile::read_term_at_offset_spec},
    {{"iter_block_terms", QUORBEL_FASTCALL(blockfile::py_iter_block_terms),
      METH_FASTCALL | METH_KEYWORDS,
      "iter_block_terms(file_path)\n--\n\n"
      "Iterate over all terms in a binary block file.\n\n"
      "Args:\n"
      "    file_path: Path to the binary block file.\n\n"
      "Returns:\n"
      "    Iterator of (term, doc_freq_content, doc_freq_title, postings) tuples."},
     blockfile::iter_block_terms_spec},
    {{"write_binary_block", QUORBEL_FASTCALL(blockfile::py_write_binary_block),
      METH_FASTCALL | METH_KEYWORDS,
      "write_binary_block(terms, doc_freqs, postings, output_path)\n--\n\n"
      "Write a binary block from dictionaries.\n\n"
      "Args:\n"
      "    terms: List of terms (sorted).\n"
      "    doc_freqs: List of (doc_freq_content, doc_freq_title) tuples.\n"
      "    postings: List of posting lists (each is a list of (doc_id, content_freq, title_freq)).\n"
      "    output_path: Path to output binary block file."},
     blockfile::write_binary_block_spec},
    {{"get_block_stats", QUORBEL_FASTCALL(blockfile::py_get_block_stats),
      METH_FASTCALL | METH_KEYWORDS,
      "get_block_stats(file_path)\n--\n\n"
      "Get block statistics without loading all data.\n\n"
      "Args:\n"
      "    file_path: Path to the binary block file.\n\n"
      "Returns:\n"
      "    Tuple of (num_terms, file_size_bytes)."},
     blockfile::get_block_stats_spec},
    {{"merge_posting_lists", QUORBEL_FASTCALL(encoding::py_merge_posting_lists),
      METH_FASTCALL | METH_KEYWORDS,
      "merge_posting_lists(postings_bytes_list)\n--\n\n"
      "Merge and sort multiple compressed posting lists efficiently.\n\n"
      "Takes multiple compressed posting list bytes, decodes them, merges them,\n"
      "sorts by content_freq + title_freq descending, then content_freq descending,\n"
      "then doc_id descending, and returns a single compressed posting list.\n\n"
      "Args:\n"
      "    postings_bytes_list: List of compressed posting list bytes.\n\n"
      "Returns:\n"
      "    Single compressed bytes representation of merged and sorted postings."},
     encoding::merge_posting_lists_spec},
    {{"read_varint", QUORBEL_FASTCALL(encoding::py_read_varint), METH_FASTCALL | METH_KEYWORDS,
      "read_varint(f)\n--\n\n"},
     encoding::read_varint_spec},
};

#undef QUORBEL_FASTCALL

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

Status add_function(PyObject* module, PyObject* module_name, Function& function) {
  QUORBEL_TRY(binding::intern_parameter_names(function.signature()));
  PyRef object = PyRef::steal(PyCMethod_New(&function.method, module, module_name, nullptr));
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
  for (Function& function : functions) QUORBEL_TRY(add_function(module, module_name.get(), function));
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
