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

Result<PyRef> py_merge_posting_lists(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(PyObject * list, binding::convert_arg(slots, 0, binding::to_list));
  if (binding::list_length(list) == 0) return binding::new_bytes({});

  // Reserve the whole pool up front: growing it by doubling would hold the old and the new pool
  // at once. Items that are not bytes count nothing here; the walk below reports them in order.
  // A posting takes at least three bytes; when that bound already fits the pool's inline room,
  // counting exactly would cost more than it saves.
  std::size_t capacity = 0;
  std::size_t bound = 0;
  {
    binding::ObjectLock lock(list);  // nothing here calls back into Python
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (PyBytes_Check(item)) bound += static_cast<std::size_t>(PyBytes_GET_SIZE(item)) / 3;
    }
    if (bound > PostingArray::kInlinePostings) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyBytes_Check(item)) capacity += count_postings(*binding::to_byte_span(item));
      }
    }
  }
  PostingArray pool(capacity);
  QUORBEL_TRY(
      binding::walk_list(list, binding::list_length(list), [&pool](PyObject* item) -> Status {
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
