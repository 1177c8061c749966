// get_block_stats(file_path), iter_block_terms(file_path), read_term_at_offset(file_path, offset)
#include <fcntl.h>

#include <algorithm>
#include <vector>

#include "binding/convert.h"
#include "blockfile/file.h"
#include "blockfile/format.h"
#include "blockfile/readers.h"
#include "encoding/py_posting_objects.h"
#include "functions.h"

namespace quorbel::blockfile {

using binding::Error;
using binding::PyRef;
using binding::Result;
using binding::Slots;

namespace {

// Result slots that iter_block_terms reserves before the first entry has been read.
constexpr std::uint64_t kReservedEntries = 4096;

// Stores `item` (a new reference, or nullptr when its creation failed) at `index` of a tuple made
// by the caller; false for nullptr. Slots left unfilled stay NULL, which tuple deallocation allows.
bool put(PyObject* tuple, Py_ssize_t index, PyObject* item) noexcept {
  if (item == nullptr) return false;
  PyTuple_SET_ITEM(tuple, index, item);
  return true;
}

// (term, doc_freq_content, doc_freq_title, postings), with next_offset appended when given.
Result<PyRef> entry_tuple(const Entry& entry, const std::uint64_t* next_offset) {
  PyRef tuple = PyRef::steal(PyTuple_New(next_offset != nullptr ? 5 : 4));
  if (!tuple) return Error::fetch();
  // The term bytes passed the strict UTF-8 check, so only memory can make the decoding fail.
  if (!put(tuple.get(), 0,
           PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(entry.term.data()),
                                static_cast<Py_ssize_t>(entry.term.size()), nullptr)) ||
      !put(tuple.get(), 1, PyLong_FromUnsignedLongLong(entry.doc_freq_content)) ||
      !put(tuple.get(), 2, PyLong_FromUnsignedLongLong(entry.doc_freq_title))) {
    return Error::fetch();
  }
  QUORBEL_ASSIGN_OR_RETURN(PyRef postings, encoding::postings_to_list(entry.postings.span()));
  PyTuple_SET_ITEM(tuple.get(), 3, postings.release());
  if (next_offset != nullptr && !put(tuple.get(), 4, PyLong_FromUnsignedLongLong(*next_offset))) {
    return Error::fetch();
  }
  return tuple;
}

Result<PyRef> py_get_block_stats(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(std::string_view path, binding::convert_arg(slots, 0, binding::to_text));
  QUORBEL_ASSIGN_OR_RETURN(Fd fd, open_file(path, O_RDONLY | O_CLOEXEC, 0));
  QUORBEL_ASSIGN_OR_RETURN(std::uint64_t size, file_size(fd));
  BufferedReader reader(fd.get());
  QUORBEL_ASSIGN_OR_RETURN(std::uint64_t num_terms, read_header(reader));
  PyRef tuple = PyRef::steal(PyTuple_New(2));
  if (!tuple || !put(tuple.get(), 0, PyLong_FromUnsignedLongLong(num_terms)) ||
      !put(tuple.get(), 1, PyLong_FromUnsignedLongLong(size))) {
    return Error::fetch();
  }
  return tuple;
}

Result<PyRef> py_iter_block_terms(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(std::string_view path, binding::convert_arg(slots, 0, binding::to_text));
  QUORBEL_ASSIGN_OR_RETURN(Fd fd, open_file(path, O_RDONLY | O_CLOEXEC, 0));
  BufferedReader reader(fd.get());
  QUORBEL_ASSIGN_OR_RETURN(std::uint64_t num_terms, read_header(reader));
  // Neither the header's count nor the file's reported size (a sparse or remote file may report
  // anything) says how many entries will really arrive: reserve a few, then grow as they do.
  std::vector<PyRef> entries;
  entries.reserve(static_cast<std::size_t>(std::min(num_terms, kReservedEntries)));
  Entry entry;
  while (entries.size() < num_terms) {
    QUORBEL_ASSIGN_OR_RETURN(bool read, read_entry(reader, entry));
    if (!read) break;
    QUORBEL_ASSIGN_OR_RETURN(PyRef tuple, entry_tuple(entry, nullptr));
    entries.push_back(std::move(tuple));
  }

  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!list) return Error::fetch();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entries[i].release());
  }
  return list;
}

Result<PyRef> py_read_term_at_offset(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(std::string_view path, binding::convert_arg(slots, 0, binding::to_text));
  QUORBEL_ASSIGN_OR_RETURN(std::uint64_t offset, binding::convert_arg(slots, 1, binding::to_u64));
  QUORBEL_ASSIGN_OR_RETURN(Fd fd, open_file(path, O_RDONLY | O_CLOEXEC, 0));
  QUORBEL_TRY(seek_to(fd, offset));
  BufferedReader reader(fd.get());
  Entry entry;
  QUORBEL_ASSIGN_OR_RETURN(bool read, read_entry(reader, entry));
  if (!read) return binding::new_none();
  const std::uint64_t next_offset = offset + entry.size;
  return entry_tuple(entry, &next_offset);
}

}  // namespace

constinit binding::Function read_term_at_offset_function{
    {"read_term_at_offset", {"file_path", "offset"}, 2, 2},
    binding::entry_point<read_term_at_offset_function, py_read_term_at_offset>,
    "read_term_at_offset(file_path, offset)\n--\n\n"
    "Read a term from a binary block file.\n\n"
    "Args:\n"
    "    file_path: Path to the binary block file.\n"
    "    offset: Byte offset where the term starts.\n\n"
    "Returns:\n"
    "    Tuple of (term, doc_freq_content, doc_freq_title, postings, next_offset)\n"
    "    or None if end of file."};

constinit binding::Function iter_block_terms_function{
    {"iter_block_terms", {"file_path"}, 1, 1},
    binding::entry_point<iter_block_terms_function, py_iter_block_terms>,
    "iter_block_terms(file_path)\n--\n\n"
    "Iterate over all terms in a binary block file.\n\n"
    "Args:\n"
    "    file_path: Path to the binary block file.\n\n"
    "Returns:\n"
    "    Iterator of (term, doc_freq_content, doc_freq_title, postings) tuples."};

constinit binding::Function get_block_stats_function{
    {"get_block_stats", {"file_path"}, 1, 1},
    binding::entry_point<get_block_stats_function, py_get_block_stats>,
    "get_block_stats(file_path)\n--\n\n"
    "Get block statistics without loading all data.\n\n"
    "Args:\n"
    "    file_path: Path to the binary block file.\n\n"
    "Returns:\n"
    "    Tuple of (num_terms, file_size_bytes)."};

}  // namespace quorbel::blockfile
