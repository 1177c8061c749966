// The document store's groups: a run of texts as the JSON array Python's
// json.dumps(texts, ensure_ascii=False) writes, in UTF-8, deflated as zlib.compress(json, level)
// does. Free of the Python API: a text is given as its code points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "build_zlib.h"

namespace minisearch::kernels {

// A text's code points, `width` bytes each (1, 2 or 4: a str's storage).
struct CodePoints {
  const void* data = nullptr;
  std::size_t length = 0;
  int width = 1;
};

// Appends `text` as a JSON string in UTF-8, escaped as json.dumps(..., ensure_ascii=False)
// escapes it; false (and `out` partly written) when it holds a surrogate, which UTF-8 cannot carry.
bool append_json_string(std::string& out, const CodePoints& text);

// The groups of `texts`, `group_size` at a time, each compressed by `deflater`.
struct StoreGroups {
  std::string data;                  // the groups, one after the other
  std::vector<std::uint64_t> sizes;  // each group's size in bytes
};

// The store groups of `texts`, or the number of the first text holding a surrogate.
struct StoreOutcome {
  StoreGroups groups;
  std::optional<std::size_t> invalid_text;
};

StoreOutcome store_groups(std::span<const CodePoints> texts, std::size_t group_size,
                          Deflater& deflater);

}  // namespace minisearch::kernels
