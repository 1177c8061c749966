// merge_posting_lists(postings_bytes_list)
#include "binding/convert.h"
#include "encoding/py_posting_objects.h"
#include "encoding/ranking.h"
#include "functions.h"

namespace quorbel::encoding {

using binding::PyRef;
using binding::Result;
using binding::Slots;
using binding::Status;

namespace {

// Hands each bytes item among the list's first `limit` to `count` (ByteSpan -> void, running no
// Python code), read in place under the list's critical section; other items are passed over.
template <class Count>
void count_bytes_items(PyObject* list, Py_ssize_t limit, Count count) {
  // Every item is taken in place, so the walk has nothing to visit and cannot fail.
  [[maybe_unused]] Status walked = binding::walk_list(
      list, limit, [](PyObject*) { return binding::ok(); },
      [&count](PyObject* item) noexcept {
        if (PyBytes_Check(item)) count(*binding::to_byte_span(item));
        return true;
      });
}

Result<PyRef> py_merge_posting_lists(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(PyObject * list, binding::convert_arg(slots, 0, binding::to_list));
  const Py_ssize_t length = binding::list_length(list);
  if (length == 0) return binding::new_bytes({});

  // Reserve the whole pool up front: growing it by doubling would hold the old and the new pool
  // at once. Items that are not bytes count nothing here; the walk below reports them in order.
  // A posting takes at least three bytes; when that bound already fits the pool's inline room,
  // counting exactly would cost more than it saves.
  std::size_t bound = 0;
  count_bytes_items(list, length, [&bound](ByteSpan bytes) noexcept { bound += bytes.size() / 3; });
  std::size_t capacity = 0;
  if (bound > PostingArray::kInlinePostings) {
    count_bytes_items(list, length,
                      [&capacity](ByteSpan bytes) noexcept { capacity += count_postings(bytes); });
  }
  PostingArray pool(capacity);
  QUORBEL_TRY(binding::walk_list(list, length, [&pool](PyObject* item) -> Status {
    // Items are checked after the list itself was accepted: no argument prefix.
    QUORBEL_ASSIGN_OR_RETURN(ByteSpan bytes, binding::to_byte_span(item));
    // Decoded straight from the bytes object's buffer; the walk holds the item meanwhile. Each
    // item's doc ids count from 0; equal doc ids stay separate postings.
    QUORBEL_TRY(decode_postings_into(bytes, pool));
    return binding::ok();
  }));

  sort_merge_order(pool.span());
  return postings_to_bytes(pool.span());
}

}  // namespace

constinit binding::Function merge_posting_lists_function{
    {"merge_posting_lists", {"postings_bytes_list"}, 1, 1},
    binding::entry_point<merge_posting_lists_function, py_merge_posting_lists>,
    "merge_posting_lists(postings_bytes_list)\n--\n\n"
    "Merge and sort multiple compressed posting lists efficiently.\n\n"
    "Takes multiple compressed posting list bytes, decodes them, merges them,\n"
    "sorts by content_freq + title_freq descending, then content_freq descending,\n"
    "then doc_id descending, and returns a single compressed posting list.\n\n"
    "Args:\n"
    "    postings_bytes_list: List of compressed posting list bytes.\n\n"
    "Returns:\n"
    "    Single compressed bytes representation of merged and sorted postings."};

}  // namespace quorbel::encoding
