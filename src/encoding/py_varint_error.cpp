#include "encoding/py_varint_error.h"

namespace quorbel::encoding {

binding::Error varint_error(DecodeStatus status) {
  return binding::Error::value_error(status == DecodeStatus::too_many_bytes
                                         ? "Invalid varint encoding: too many bytes"
                                         : "Invalid varint encoding: unexpected end of data");
}

}  // namespace quorbel::encoding
