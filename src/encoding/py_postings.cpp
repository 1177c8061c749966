#include "encoding/py_postings.h"

namespace quorbel::encoding {

namespace {
constinit const binding::ArgumentSpec kEncodePostingListSpec{"encode_posting_list", {"postings", "assume_sorted"}, 2, 1};
constinit const binding::ArgumentSpec kDecodePostingListSpec{"decode_posting_list", {"data"}, 1, 1};
}  // namespace

const binding::ArgumentSpec& encode_posting_list_spec() noexcept { return kEncodePostingListSpec; }

PyObject* py_encode_posting_list(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::call(kEncodePostingListSpec, args, nargs, kwnames, [](const binding::Slots&) -> binding::Result<binding::PyRef> {
    return binding::Error::deferred(PyExc_NotImplementedError, "encode_posting_list() is not available yet");
  });
}

const binding::ArgumentSpec& decode_posting_list_spec() noexcept { return kDecodePostingListSpec; }

PyObject* py_decode_posting_list(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::call(kDecodePostingListSpec, args, nargs, kwnames, [](const binding::Slots&) -> binding::Result<binding::PyRef> {
    return binding::Error::deferred(PyExc_NotImplementedError, "decode_posting_list() is not available yet");
  });
}

}  // namespace quorbel::encoding
