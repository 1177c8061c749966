#include "encoding/stream_reader.h"

namespace quorbel::encoding {

namespace {
constinit const binding::ArgumentSpec kReadVarintSpec{"read_varint", {"f"}, 1, 1};
}  // namespace

const binding::ArgumentSpec& read_varint_spec() noexcept { return kReadVarintSpec; }

PyObject* py_read_varint(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return binding::call(kReadVarintSpec, args, nargs, kwnames, [](const binding::Slots&) -> binding::Result<binding::PyRef> {
    return binding::Error::deferred(PyExc_NotImplementedError, "read_varint() is not available yet");
  });
}

}  // namespace quorbel::encoding
