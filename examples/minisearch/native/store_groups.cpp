#include "store_groups.h"

#include <algorithm>
#include <array>

namespace minisearch::kernels {
namespace {

// What follows a backslash for the characters json escapes with two characters; 'u' for the
// other control characters (\u00XX); 0 for those written as they are.
constexpr std::array<char, 128> kEscapes = [] {
  std::array<char, 128> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['"'] = '"';
  table['\\'] = '\\';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  return table;
}();

constexpr char kHexDigits[] = "0123456789abcdef";

void append_escape(std::string& out, std::uint32_t c) {
  const char escape = kEscapes[c];
  out.push_back('\\');
  out.push_back(escape);
  if (escape == 'u') {
    out.append("00");
    out.push_back(kHexDigits[c >> 4]);
    out.push_back(kHexDigits[c & 0xF]);
  }
}

// Appends one code point above ASCII in UTF-8; false for a surrogate.
bool append_utf8(std::string& out, std::uint32_t c) {
  if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
  } else if (c < 0x10000) {
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
  }
  out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  return true;
}

template <class Unit>
bool append_units(std::string& out, const Unit* units, std::size_t length) {
  std::size_t i = 0;
  while (i < length) {
    // A stretch of ASCII that needs no escape is appended whole.
    std::size_t plain = i;
    while (plain < length && units[plain] < 0x80 && kEscapes[units[plain]] == 0) ++plain;
    if constexpr (sizeof(Unit) == 1) {
      out.append(reinterpret_cast<const char*>(units + i), plain - i);
    } else {
      for (std::size_t j = i; j < plain; ++j) out.push_back(static_cast<char>(units[j]));
    }
    if (plain == length) break;
    const std::uint32_t c = units[plain];
    if (c < 0x80) {
      append_escape(out, c);
    } else if (!append_utf8(out, c)) {
      return false;
    }
    i = plain + 1;
  }
  return true;
}

}  // namespace

bool append_json_string(std::string& out, const CodePoints& text) {
  out.push_back('"');
  bool valid = false;
  switch (text.width) {
    case 1:
      valid = append_units(out, static_cast<const std::uint8_t*>(text.data), text.length);
      break;
    case 2:
      valid = append_units(out, static_cast<const std::uint16_t*>(text.data), text.length);
      break;
    default:
      valid = append_units(out, static_cast<const std::uint32_t*>(text.data), text.length);
      break;
  }
  out.push_back('"');
  return valid;
}

StoreOutcome store_groups(std::span<const CodePoints> texts, std::size_t group_size,
                          Deflater& deflater) {
  StoreOutcome outcome;
  std::string json;
  for (std::size_t first = 0; first < texts.size(); first += group_size) {
    const std::size_t end = std::min(texts.size(), first + group_size);
    json.clear();
    json.push_back('[');
    for (std::size_t i = first; i < end; ++i) {
      if (i != first) json.append(", ");
      if (!append_json_string(json, texts[i])) {
        outcome.invalid_text = i;
        return outcome;
      }
    }
    json.push_back(']');
    const std::string group = deflater.deflate(
        std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
    outcome.groups.data += group;
    outcome.groups.sizes.push_back(group.size());
  }
  return outcome;
}

}  // namespace minisearch::kernels
