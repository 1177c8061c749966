// A block's terms while it is built: each distinct term's UTF-8 bytes interned once, named by a
// dense id. Free of the Python API.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace minisearch::kernels {

class TermInterner {
 public:
  TermInterner() : slots_(1024, kEmpty) {}

  // The id of `term`, a new one (the next, from 0) the first time it is seen.
  std::uint32_t intern(std::string_view term) { return intern(term, hash_of(term)); }

  // The same, with the term's hash_of(term) computed by the caller.
  std::uint32_t intern(std::string_view term, std::uint64_t hash) {
    std::size_t slot = hash & (slots_.size() - 1);
    while (true) {
      const std::uint32_t id = slots_[slot];
      if (id == kEmpty) break;
      if (hashes_[id] == hash && text(id) == term) return id;
      slot = (slot + 1) & (slots_.size() - 1);
    }
    const auto id = static_cast<std::uint32_t>(starts_.size());
    slots_[slot] = id;
    starts_.push_back(arena_.size());
    arena_.append(term);
    ends_.push_back(arena_.size());
    hashes_.push_back(hash);
    if (2 * starts_.size() > slots_.size()) grow();
    return id;
  }

  std::string_view text(std::uint32_t id) const noexcept {
    return std::string_view(arena_).substr(starts_[id], ends_[id] - starts_[id]);
  }
  std::size_t size() const noexcept { return starts_.size(); }

  // FNV-1a, a byte at a time (hash_step), then a final mix of the high bits down (hash_end).
  static constexpr std::uint64_t kHashStart = 0xcbf29ce484222325ull;
  static std::uint64_t hash_step(std::uint64_t hash, std::uint8_t byte) noexcept {
    return (hash ^ byte) * 0x100000001b3ull;
  }
  static std::uint64_t hash_end(std::uint64_t hash) noexcept { return hash ^ (hash >> 29); }
  static std::uint64_t hash_of(std::string_view term) noexcept {
    std::uint64_t hash = kHashStart;
    for (const char c : term) hash = hash_step(hash, static_cast<std::uint8_t>(c));
    return hash_end(hash);
  }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  void grow() {
    std::vector<std::uint32_t> slots(2 * slots_.size(), kEmpty);
    for (std::uint32_t id = 0; id < starts_.size(); ++id) {
      std::size_t slot = hashes_[id] & (slots.size() - 1);
      while (slots[slot] != kEmpty) slot = (slot + 1) & (slots.size() - 1);
      slots[slot] = id;
    }
    slots_.swap(slots);
  }

  std::vector<std::uint32_t> slots_;
  std::string arena_;
  std::vector<std::size_t> starts_;
  std::vector<std::size_t> ends_;
  std::vector<std::uint64_t> hashes_;
};

// The ids of `terms` in the order of their UTF-8 bytes (that of their code points), compared by
// their first eight bytes first.
inline std::vector<std::uint32_t> sorted_ids(const TermInterner& terms) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(terms.size());
  for (std::uint32_t id = 0; id < keyed.size(); ++id) {
    const std::string_view text = terms.text(id);
    std::uint64_t prefix = 0;
    for (std::size_t i = 0; i < 8; ++i)
      prefix = (prefix << 8) | (i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0u);
    keyed[id] = {prefix, id};
  }
  std::sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return terms.text(a.second) < terms.text(b.second);
  });
  std::vector<std::uint32_t> ids(keyed.size());
  for (std::size_t i = 0; i < keyed.size(); ++i) ids[i] = keyed[i].second;
  return ids;
}

// The terms of ASCII text by the engine's rule: runs of [A-Za-z0-9], lower-cased, a run longer
// than `max_length` characters dropped. Each term's id goes to `ids`, in order.
void ascii_terms(std::string_view text, std::size_t max_length, TermInterner& terms,
                 std::vector<std::uint32_t>& ids);

}  // namespace minisearch::kernels
