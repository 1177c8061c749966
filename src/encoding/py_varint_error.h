// The Python-facing messages of the varint decoder, for every wrapper that decodes varints.
#pragma once

#include "binding/error.h"
#include "encoding/varint.h"

namespace quorbel::encoding {

// ValueError "Invalid varint encoding: unexpected end of data" or "...: too many bytes".
[[gnu::cold]] binding::Error varint_error(DecodeStatus status);

}  // namespace quorbel::encoding
