#include "encoding/posting_objects.h"

#include "encoding/varint_errors.h"

namespace quorbel::encoding {

using binding::Error;
using binding::PyRef;
using binding::Result;

namespace {

PyObject* posting_tuple(const Posting& posting) {
  PyObject* tuple = PyTuple_New(3);
  if (tuple == nullptr) return nullptr;
  const std::int32_t fields[3] = {posting.doc_id, posting.content_freq, posting.title_freq};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* field = PyLong_FromLong(fields[i]);
    if (field == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, i, field);
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

Result<PyRef> decode_postings(ByteSpan bytes) {
  std::vector<Posting> postings;
  DecodeStatus status = decode_postings_into(bytes, postings);
  if (status != DecodeStatus::ok) return varint_error(status);
  return postings_to_list(postings);
}

}  // namespace quorbel::encoding
