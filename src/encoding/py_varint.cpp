// encode_varint(n)
#include "binding/convert.h"
#include "encoding/varint.h"
#include "functions.h"

namespace quorbel::encoding {

using binding::Error;

namespace {

binding::Result<binding::PyRef> py_encode_varint(const binding::Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(std::int64_t n, binding::convert_arg(slots, 0, binding::to_i64));
  if (n < 0) return Error::value_error("Varint encoding only supports non-negative integers");
  std::uint8_t bytes[kMaxVarintBytes];
  std::uint8_t* end = write_varint(static_cast<std::uint64_t>(n), bytes);
  return binding::new_bytes(ByteSpan(bytes, end));
}

}  // namespace

constinit binding::Function encode_varint_function{
    {"encode_varint", {"n"}, 1, 1},
    binding::entry_point<encode_varint_function, py_encode_varint>,
    "encode_varint(n)\n--\n\nEncode an integer using variable-length encoding (varint)."};

}  // namespace quorbel::encoding
