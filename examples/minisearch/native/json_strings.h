// Reading chosen strings of a JSON array of strings (a titles file, a document store's group)
// without making a Python object of every element. Free of the Python API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace minisearch::kernels {

// The elements of `json` at the ascending positions `wanted`, as UTF-8, appended to `out`; returns
// how many elements the array holds. nullopt when `json` is not an array of strings that this
// reader takes as Python's json module would (a raw control character, a lone surrogate escape,
// anything but strings) or when a wanted position is past its end: the caller then reads it with
// Python's json, which decodes it or names what is wrong. Raw non-ASCII bytes are copied as they
// are; the caller checks they are UTF-8.
std::optional<std::size_t> json_strings_at(std::string_view json,
                                           std::span<const std::uint32_t> wanted,
                                           std::vector<std::string>& out);

}  // namespace minisearch::kernels
