// A block's terms while it is built: each distinct term's UTF-8 bytes interned once, named by a
// dense id. Free of the Python API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace minisearch::kernels {

class TermInterner {
 public:
  TermInterner() : slots_(1024, kEmpty) {}

  // The id of `term`, a new one (the next, from 0) the first time it is seen.
  std::uint32_t intern(std::string_view term) {
    const std::uint64_t hash = hash_of(term);
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

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  static std::uint64_t hash_of(std::string_view term) noexcept {
    std::uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a, then a final mix of the high bits down
    for (const char c : term) hash = (hash ^ static_cast<std::uint8_t>(c)) * 0x100000001b3ull;
    return hash ^ (hash >> 29);
  }

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

// The terms of ASCII text by the engine's rule: runs of [A-Za-z0-9], lower-cased, a run longer
// than `max_length` characters dropped. Each term's id goes to `ids`, in order.
void ascii_terms(std::string_view text, std::size_t max_length, TermInterner& terms,
                 std::vector<std::uint32_t>& ids);

}  // namespace minisearch::kernels
