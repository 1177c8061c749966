// Strict UTF-8 validation of term bytes (no overlong forms, no surrogates, nothing above
// U+10FFFF), with the position and extent of the first fault. Free of the Python API.
#pragma once

#include "common/bytes.h"
#include "common/outcome.h"

namespace quorbel::blockfile {

// A success, or the Utf8Error of the first faulty sequence.
Outcome<> check_utf8(ByteSpan bytes) noexcept;

}  // namespace quorbel::blockfile
