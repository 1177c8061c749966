#include "common/outcome.h"

namespace quorbel {

std::string utf8_error_text(const Utf8Error& error) {
  if (error.incomplete) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(error.index);
  }
  return "invalid utf-8 sequence of " + std::to_string(error.length) + " bytes from index " +
         std::to_string(error.index);
}

}  // namespace quorbel
