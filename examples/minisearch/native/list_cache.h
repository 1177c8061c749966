// Posting lists decoded lately, by partition and entry, shared by every thread of the process:
// the lists of common words recur from phrase to phrase, and decoding them (a head sorted by
// document, or a whole list merged from its head and chunks) costs more than finding the
// candidates in them. Direct-mapped, within one budget of postings for the process (emptied when
// a new list would pass it), under a lock held only to look a slot up or fill it; a list is
// shared with the readers that took it, so a slot taken by another list never frees one still in
// use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "encoding/postings.h"

namespace minisearch::kernels {

class ListCache {
 public:
  using Posting = quorbel::encoding::Posting;
  using List = std::shared_ptr<const std::vector<Posting>>;

  // What a slot holds of an entry: the entry's own postings (a head sorted by document), or the
  // whole list that starts with it (head entry), in document order.
  enum class Kind : std::uint8_t { entry, whole };

  static ListCache& shared() {
    static ListCache* const cache = new ListCache();  // never destroyed: threads may outlive exit
    return *cache;
  }

  // The list kept for `partition` (a key no other open partition has), `entry` and `kind`, or
  // null.
  List find(std::uint64_t partition, std::size_t entry, Kind kind) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const Slot& slot = slots_[slot_of(partition, entry, kind)];
    return slot.partition == partition && slot.entry == entry && slot.kind == kind ? slot.list
                                                                                   : nullptr;
  }

  void keep(std::uint64_t partition, std::size_t entry, Kind kind, List list) {
    if (list->size() > kLargestList) return;
    std::vector<Slot> dropped;  // freed once the lock is let go
    const std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[slot_of(partition, entry, kind)];
    held_ -= slot.list ? slot.list->size() : 0;
    slot.list.reset();
    if (held_ + list->size() > kBudget) {  // a new working set: start it afresh
      dropped.swap(slots_);
      slots_.resize(kSlots);
      held_ = 0;
    }
    held_ += list->size();
    slots_[slot_of(partition, entry, kind)] = Slot{partition, entry, kind, std::move(list)};
  }

 private:
  static constexpr std::size_t kSlots = 4096;
  static constexpr std::size_t kBudget = std::size_t{1} << 20;       // postings: 12 MB in all
  static constexpr std::size_t kLargestList = std::size_t{1} << 16;  // a sixteenth of it

  struct Slot {
    std::uint64_t partition = 0;  // none: keys start at 1
    std::size_t entry = 0;
    Kind kind = Kind::entry;
    List list;
  };

  static std::size_t slot_of(std::uint64_t partition, std::size_t entry, Kind kind) noexcept {
    const std::uint64_t mixed =
        (partition * 0x9E3779B97F4A7C15ull) ^ (entry * 2 + static_cast<std::size_t>(kind));
    return static_cast<std::size_t>(mixed * 0xBF58476D1CE4E5B9ull >> 40) % kSlots;
  }

  std::mutex mutex_;
  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
  std::size_t held_ = 0;  // postings in all slots
};

}  // namespace minisearch::kernels
