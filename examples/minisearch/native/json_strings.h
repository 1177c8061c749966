// Reading chosen strings of a JSON array of strings (a titles file, a document store's group)
// without making a Python object of every element. Free of the Python API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Whether `text` is ASCII throughout.
bool is_ascii(std::string_view text) noexcept;

// Keys looked for in a keys file: a string by its UTF-8, an integer by its decimal text (as
// Python's json writes it); each names its place in the caller's list of keys.
struct WantedKeys {
  std::unordered_map<std::string, std::uint32_t> strings;
  std::unordered_map<std::string, std::uint32_t> integers;
};

// One element of a keys file that is a wanted key: its place in the array, and the key's in the
// caller's list.
struct FoundKey {
  std::uint32_t place;
  std::uint32_t key;
};

// The elements of `json`, a keys file's JSON array (non-empty strings, integers, nulls), that are
// among `wanted`, appended to `out` in array order; returns how many elements the array holds.
// nullopt when it holds anything else, or anything json_strings_at leaves to Python's json, or
// bytes outside ASCII: the caller reads it with Python's json, which decodes it or names what is
// wrong.
std::optional<std::size_t> json_keys_among(std::string_view json, const WantedKeys& wanted,
                                           std::vector<FoundKey>& out);

}  // namespace minisearch::kernels
