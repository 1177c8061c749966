#include "encoding/py_merge.h"

namespace quorbel::encoding {

namespace {
constinit const binding::ArgumentSpec kMergePostingListsSpec{"merge_posting_lists", {"postings_bytes_list"}, 1, 1};
}  // namespace

const binding::ArgumentSpec& merge_posting_lists_spec() noexcept { return kMergePostingListsSpec; }

PyObject* py_merge_posting_lists(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::call(kMergePostingListsSpec, args, nargs, kwnames, [](const binding::Slots&) -> binding::Result<binding::PyRef> {
    return binding::Error::deferred(PyExc_NotImplementedError, "merge_posting_lists() is not available yet");
  });
}

}  // namespace quorbel::encoding
