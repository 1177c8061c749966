#include "blockfile/py_writer.h"

namespace quorbel::blockfile {

namespace {
constinit const binding::ArgumentSpec kWriteBinaryBlockSpec{"write_binary_block", {"terms", "doc_freqs", "postings", "output_path"}, 4, 4};
}  // namespace

const binding::ArgumentSpec& write_binary_block_spec() noexcept { return kWriteBinaryBlockSpec; }

PyObject* py_write_binary_block(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::call(kWriteBinaryBlockSpec, args, nargs, kwnames, [](const binding::Slots&) -> binding::Result<binding::PyRef> {
    return binding::Error::deferred(PyExc_NotImplementedError, "write_binary_block() is not available yet");
  });
}

}  // namespace quorbel::blockfile
