#include "json_strings.h"

#include <array>

namespace minisearch::kernels {
namespace {

// The bytes that end a plain run of a string: the quote, the backslash, control characters.
constexpr std::array<bool, 256> kSpecial = [] {
  std::array<bool, 256> special{};
  for (int c = 0; c < 0x20; ++c) special[c] = true;
  special['"'] = special['\\'] = true;
  return special;
}();

class Reader {
 public:
  explicit Reader(std::string_view json) : json_(json) {}

  bool at_end() const noexcept { return at_ == json_.size(); }

  void skip_space() noexcept {
    while (at_ < json_.size() &&
           (json_[at_] == ' ' || json_[at_] == '\n' || json_[at_] == '\r' || json_[at_] == '\t'))
      ++at_;
  }

  bool take(char expected) noexcept {
    skip_space();
    if (at_ == json_.size() || json_[at_] != expected) return false;
    ++at_;
    return true;
  }

  // The text of a JSON integer as Python's json writes one (no leading zero, no "-0"); empty
  // when the next value is not such an integer.
  std::string_view integer() noexcept {
    skip_space();
    const std::size_t start = at_;
    if (at_ < json_.size() && json_[at_] == '-') ++at_;
    const std::size_t digits = at_;
    while (at_ < json_.size() && json_[at_] >= '0' && json_[at_] <= '9') ++at_;
    const std::size_t count = at_ - digits;
    // Past 4,300 digits Python refuses to read an integer: json names that.
    if (count == 0 || count > 4300 || (json_[digits] == '0' && (count > 1 || digits > start)))
      return {};
    if (at_ < json_.size() && (json_[at_] == '.' || json_[at_] == 'e' || json_[at_] == 'E'))
      return {};
    return json_.substr(start, at_ - start);
  }

  bool word(std::string_view expected) noexcept {
    if (json_.substr(at_, expected.size()) != expected) return false;
    at_ += expected.size();
    return true;
  }

  char peek() noexcept {
    skip_space();
    return at_ < json_.size() ? json_[at_] : '\0';
  }

  // A string's body after its opening quote: decoded into `into` when given, else skipped.
  bool string(std::string* into) {
    while (at_ < json_.size()) {
      const std::size_t plain = at_;  // a run without quote, backslash or control character
      while (at_ < json_.size() && !kSpecial[static_cast<unsigned char>(json_[at_])]) ++at_;
      if (into != nullptr) into->append(json_.data() + plain, at_ - plain);
      if (at_ == json_.size()) return false;
      const auto c = static_cast<unsigned char>(json_[at_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (!escape(into)) return false;
    }
    return false;
  }

 private:
  bool escape(std::string* into) {
    if (at_ == json_.size()) return false;
    const char c = json_[at_++];
    char plain = 0;
    switch (c) {
      case '"': plain = '"'; break;
      case '\\': plain = '\\'; break;
      case '/': plain = '/'; break;
      case 'b': plain = '\b'; break;
      case 'f': plain = '\f'; break;
      case 'n': plain = '\n'; break;
      case 'r': plain = '\r'; break;
      case 't': plain = '\t'; break;
      case 'u': return unicode(into);
      default: return false;
    }
    if (into != nullptr) into->push_back(plain);
    return true;
  }

  std::optional<std::uint32_t> hex4() noexcept {
    if (json_.size() - at_ < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = json_[at_++];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<std::uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<std::uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<std::uint32_t>(c - 'A' + 10);
      else
        return std::nullopt;
    }
    return value;
  }

  // \uXXXX, a surrogate pair as one code point; a lone surrogate is left to Python's json.
  bool unicode(std::string* into) {
    std::optional<std::uint32_t> code = hex4();
    if (!code || (*code >= 0xDC00 && *code <= 0xDFFF)) return false;
    if (*code >= 0xD800 && *code <= 0xDBFF) {
      if (json_.size() - at_ < 6 || json_[at_] != '\\' || json_[at_ + 1] != 'u') return false;
      at_ += 2;
      const std::optional<std::uint32_t> low = hex4();
      if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
      code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
    }
    if (into != nullptr) append_utf8(*into, *code);
    return true;
  }

  static void append_utf8(std::string& into, std::uint32_t code) {
    if (code < 0x80) {
      into.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      into.push_back(static_cast<char>(0xC0 | (code >> 6)));
      into.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      into.push_back(static_cast<char>(0xE0 | (code >> 12)));
      into.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      into.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      into.push_back(static_cast<char>(0xF0 | (code >> 18)));
      into.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      into.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      into.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  std::string_view json_;
  std::size_t at_ = 0;
};

}  // namespace

bool is_ascii(std::string_view text) noexcept {
  for (const char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

std::optional<std::size_t> json_strings_at(std::string_view json,
                                           std::span<const std::uint32_t> wanted,
                                           std::vector<std::string>& out) {
  Reader reader(json);
  if (!reader.take('[')) return std::nullopt;
  std::size_t count = 0;
  std::size_t next = 0;  // in wanted
  if (reader.peek() != ']') {
    do {
      if (!reader.take('"')) return std::nullopt;
      std::string* into = nullptr;
      if (next < wanted.size() && wanted[next] == count) {
        into = &out.emplace_back();
        ++next;
        if (next < wanted.size() && wanted[next] <= wanted[next - 1]) return std::nullopt;
      }
      if (!reader.string(into)) return std::nullopt;
      ++count;
    } while (reader.take(','));
  }
  if (!reader.take(']')) return std::nullopt;
  reader.skip_space();
  if (!reader.at_end() || next != wanted.size()) return std::nullopt;
  return count;
}

std::optional<std::size_t> json_keys_among(std::string_view json, const WantedKeys& wanted,
                                           std::vector<FoundKey>& out) {
  if (!is_ascii(json)) return std::nullopt;  // Python's json checks the UTF-8
  Reader reader(json);
  if (!reader.take('[')) return std::nullopt;
  std::size_t count = 0;
  std::string text;
  if (reader.peek() != ']') {
    do {
      const char first = reader.peek();
      const std::unordered_map<std::string, std::uint32_t>* among = &wanted.integers;
      if (first == '"') {
        reader.take('"');
        text.clear();
        if (!reader.string(&text) || text.empty()) return std::nullopt;
        among = &wanted.strings;
      } else if (first == 'n') {
        if (!reader.word("null")) return std::nullopt;
        ++count;
        continue;
      } else {
        const std::string_view digits = reader.integer();
        if (digits.empty()) return std::nullopt;
        text.assign(digits);
      }
      if (const auto key = among->find(text); key != among->end())
        out.push_back({static_cast<std::uint32_t>(count), key->second});
      ++count;
    } while (reader.take(','));
  }
  if (!reader.take(']')) return std::nullopt;
  reader.skip_space();
  if (!reader.at_end()) return std::nullopt;
  return count;
}

}  // namespace minisearch::kernels
