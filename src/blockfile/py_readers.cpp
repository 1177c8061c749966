#include "blockfile/py_readers.h"

namespace quorbel::blockfile {

namespace {
constinit const binding::ArgumentSpec kGetBlockStatsSpec{"get_block_stats", {"file_path"}, 1, 1};
constinit const binding::ArgumentSpec kIterBlockTermsSpec{"iter_block_terms", {"file_path"}, 1, 1};
constinit const binding::ArgumentSpec kReadTermAtOffsetSpec{"read_term_at_offset", {"file_path", "offset"}, 2, 2};
}  // namespace

const binding::ArgumentSpec& get_block_stats_spec() noexcept { return kGetBlockStatsSpec; }

PyObject* py_get_block_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::call(kGetBlockStatsSpec, args, nargs, kwnames, [](const binding::Slots&) -> binding::Result<binding::PyRef> {
    return binding::Error::deferred(PyExc_NotImplementedError, "get_block_stats() is not available yet");
  });
}

const binding::ArgumentSpec& iter_block_terms_spec() noexcept { return kIterBlockTermsSpec; }

PyObject* py_iter_block_terms(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::call(kIterBlockTermsSpec, args, nargs, kwnames, [](const binding::Slots&) -> binding::Result<binding::PyRef> {
    return binding::Error::deferred(PyExc_NotImplementedError, "iter_block_terms() is not available yet");
  });
}

const binding::ArgumentSpec& read_term_at_offset_spec() noexcept { return kReadTermAtOffsetSpec; }

PyObject* py_read_term_at_offset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::call(kReadTermAtOffsetSpec, args, nargs, kwnames, [](const binding::Slots&) -> binding::Result<binding::PyRef> {
    return binding::Error::deferred(PyExc_NotImplementedError, "read_term_at_offset() is not available yet");
  });
}

}  // namespace quorbel::blockfile
