#include "encoding/py_posting_objects.h"

#include "binding/convert.h"

namespace quorbel::encoding {

using binding::Error;
using binding::PyRef;
using binding::Result;

namespace {

PyObject* posting_tuple(const Posting& posting) {
  PyObject* tuple = PyTuple_New(3);
  if (tuple == nullptr) return nullptr;
  PyObject* doc_id = PyLong_FromLong(posting.doc_id);
  PyObject* content_freq = PyLong_FromLong(posting.content_freq);
  PyObject* title_freq = PyLong_FromLong(posting.title_freq);
  // A NULL slot is allowed in a tuple that is being discarded.
  PyTuple_SET_ITEM(tuple, 0, doc_id);
  PyTuple_SET_ITEM(tuple, 1, content_freq);
  PyTuple_SET_ITEM(tuple, 2, title_freq);
  if (doc_id == nullptr || content_freq == nullptr || title_freq == nullptr) {
    Py_DECREF(tuple);
    return nullptr;
  }
  return tuple;
}

}  // namespace

Result<PyRef> postings_to_list(PostingSpan postings) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(postings.size())));
  if (!list) return Error::fetch();
  for (std::size_t i = 0; i < postings.size(); ++i) {
    PyObject* tuple = posting_tuple(postings[i]);
    if (tuple == nullptr) return Error::fetch();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  return list;
}

Result<PyRef> postings_to_bytes(PostingSpan postings, std::optional<std::size_t> size) {
  constexpr std::size_t kShortList = 32;
  if (!size && postings.size() <= kShortList) {
    std::uint8_t buffer[kShortList * kMaxPostingBytes];
    const std::uint8_t* end = write_postings(postings, buffer);
    return binding::new_bytes(ByteSpan(buffer, end));
  }
  const std::size_t exact = size ? *size : encoded_size(postings);
  PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(exact)));
  if (!bytes) return Error::fetch();
  // A bytes object may be filled in until it is shared.
  write_postings(postings, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())));
  return bytes;
}

Result<PyRef> decode_postings(ByteSpan bytes) {
  // Sized from the bytes themselves: one allocation at most, none for a short list.
  PostingArray postings;
  QUORBEL_TRY(decode_postings_into(bytes, postings));
  return postings_to_list(postings.span());
}

}  // namespace quorbel::encoding
