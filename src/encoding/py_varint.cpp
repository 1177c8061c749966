// encode_varint(n)
#include "encoding/py_varint.h"

#include "binding/arguments.h"
#include "binding/convert.h"
#include "encoding/varint.h"
#include "encoding/varint_errors.h"

namespace quorbel::encoding {

using binding::Error;

Error varint_error(DecodeStatus status) {
  return Error::value_error(status == DecodeStatus::too_many_bytes
                                ? "Invalid varint encoding: too many bytes"
                                : "Invalid varint encoding: unexpected end of data");
}

namespace {
constinit const binding::ArgumentSpec kEncodeVarintSpec{"encode_varint", {"n"}, 1, 1};
}  // namespace

const binding::ArgumentSpec& encode_varint_spec() noexcept { return kEncodeVarintSpec; }

PyObject* py_encode_varint(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return binding::call(
      kEncodeVarintSpec, args, nargs, kwnames,
      [](const binding::Slots& slots) -> binding::Result<binding::PyRef> {
        binding::Result<std::int64_t> n = binding::convert_arg(slots, 0, binding::to_i64);
        if (!n.ok()) return std::move(n).take_error();
        if (*n < 0) return Error::value_error("Varint encoding only supports non-negative integers");
        std::uint8_t bytes[kMaxVarintBytes];
        std::uint8_t* end = write_varint(static_cast<std::uint64_t>(*n), bytes);
        return binding::new_bytes(ByteSpan(bytes, end));
      });
}

}  // namespace quorbel::encoding
