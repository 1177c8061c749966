// write_binary_block(terms, doc_freqs, postings, output_path)
#include <string>
#include <vector>

#include "binding/convert.h"
#include "blockfile/format.h"
#include "blockfile/writer.h"
#include "encoding/postings.h"
#include "functions.h"

namespace quorbel::blockfile {

using binding::Error;
using binding::PyRef;
using binding::Result;
using binding::Slots;
using encoding::Posting;

namespace {

// A term's UTF-8 form, refused here when its length cannot be stored, so that no file is touched.
Result<std::string> to_term(PyObject* value) {
  QUORBEL_ASSIGN_OR_RETURN(std::string_view text, binding::to_text(value));
  if (text.size() > kMaxTermBytes) {
    return Error::value_error(
        "term too long for a block file: its UTF-8 form must be shorter than 2**32 bytes");
  }
  return std::string(text);
}

Result<DocFreqs> to_doc_freqs(PyObject* value) {
  QUORBEL_ASSIGN_OR_RETURN(PyObject * pair, binding::to_tuple(value, 2));
  QUORBEL_ASSIGN_OR_RETURN(std::uint64_t content, binding::to_u64(PyTuple_GET_ITEM(pair, 0)));
  QUORBEL_ASSIGN_OR_RETURN(std::uint64_t title, binding::to_u64(PyTuple_GET_ITEM(pair, 1)));
  return DocFreqs{content, title};
}

Result<Posting> to_posting(PyObject* value) {
  QUORBEL_ASSIGN_OR_RETURN(PyObject * triple, binding::to_tuple(value, 3));
  std::int32_t fields[3];
  for (Py_ssize_t i = 0; i < 3; ++i) {
    QUORBEL_ASSIGN_OR_RETURN(std::int32_t field, binding::to_i32(PyTuple_GET_ITEM(triple, i)));
    fields[i] = field;
  }
  return Posting{fields[0], fields[1], fields[2]};
}

Result<std::vector<Posting>> to_posting_list(PyObject* value) {
  return binding::to_vector<Posting>(value, to_posting);
}

Result<PyRef> py_write_binary_block(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(std::vector<std::string> terms,
                           binding::convert_arg(slots, 0, [](PyObject* value) {
                             return binding::to_vector<std::string>(value, to_term);
                           }));
  QUORBEL_ASSIGN_OR_RETURN(std::vector<DocFreqs> doc_freqs,
                           binding::convert_arg(slots, 1, [](PyObject* value) {
                             return binding::to_vector<DocFreqs>(value, to_doc_freqs);
                           }));
  QUORBEL_ASSIGN_OR_RETURN(std::vector<std::vector<Posting>> postings,
                           binding::convert_arg(slots, 2, [](PyObject* value) {
                             return binding::to_vector<std::vector<Posting>>(value,
                                                                             to_posting_list);
                           }));
  QUORBEL_ASSIGN_OR_RETURN(std::string_view output_path,
                           binding::convert_arg(slots, 3, binding::to_text));

  if (doc_freqs.size() != terms.size() || postings.size() != terms.size()) {
    return Error::value_error("terms, doc_freqs, and postings must have the same length");
  }
  QUORBEL_TRY(write_block(output_path, terms, doc_freqs, postings));
  return binding::new_none();
}

}  // namespace

constinit binding::Function write_binary_block_function{
    {"write_binary_block", {"terms", "doc_freqs", "postings", "output_path"}, 4, 4},
    binding::entry_point<write_binary_block_function, py_write_binary_block>,
    "write_binary_block(terms, doc_freqs, postings, output_path)\n--\n\n"
    "Write a binary block from dictionaries.\n\n"
    "Args:\n"
    "    terms: List of terms (sorted).\n"
    "    doc_freqs: List of (doc_freq_content, doc_freq_title) tuples.\n"
    "    postings: List of posting lists (each is a list of (doc_id, content_freq, title_freq)).\n"
    "    output_path: Path to output binary block file."};

}  // namespace quorbel::blockfile
