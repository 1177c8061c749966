// encode_posting_list(postings, assume_sorted=False) and decode_posting_list(data)
#include <algorithm>
#include <climits>
#include <vector>

#include "binding/convert.h"
#include "encoding/postings.h"
#include "encoding/py_posting_objects.h"
#include "encoding/ranking.h"
#include "functions.h"

namespace quorbel::encoding {

using binding::Error;
using binding::PyRef;
using binding::Result;
using binding::Slots;
using binding::Status;

namespace {

// One element of the postings list: a tuple (or subclass) of three integers that fit in 32 bits.
// The list argument has already been accepted, so these errors carry no argument prefix.
Result<Posting> to_posting(PyObject* element) {
  if (!PyTuple_Check(element)) return Error::cast(element, "tuple");
  if (PyTuple_GET_SIZE(element) != 3) {
    return Error::value_error("Posting must be a tuple of 3 integers");
  }
  std::int32_t fields[3];
  for (Py_ssize_t i = 0; i < 3; ++i) {
    // The tuple is immutable and held by the walk, so its items outlive any __index__ call.
    QUORBEL_ASSIGN_OR_RETURN(std::int32_t field, binding::to_i32(PyTuple_GET_ITEM(element, i)));
    fields[i] = field;
  }
  return Posting{fields[0], fields[1], fields[2]};
}

// The common element, read without running any Python code: an exact tuple of three exact ints
// that fit in 32 bits. False, with nothing changed and no exception set, for anything else, which
// then takes to_posting's general path.
bool plain_posting(PyObject* element, Posting& out) noexcept {
  if (!PyTuple_CheckExact(element) || PyTuple_GET_SIZE(element) != 3) return false;
  std::int32_t fields[3];
  for (Py_ssize_t i = 0; i < 3; ++i) {
    PyObject* item = PyTuple_GET_ITEM(element, i);
    if (!PyLong_CheckExact(item)) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(item, &overflow);
    if (overflow != 0 || value < INT32_MIN || value > INT32_MAX) return false;
    fields[i] = static_cast<std::int32_t>(value);
  }
  out = Posting{fields[0], fields[1], fields[2]};
  return true;
}

Result<PyRef> py_encode_posting_list(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(PyObject * list, binding::convert_arg(slots, 0, binding::to_list));
  bool assume_sorted = false;
  if (slots[1] != nullptr) {
    QUORBEL_ASSIGN_OR_RETURN(bool flag, binding::convert_arg(slots, 1, binding::to_bool));
    assume_sorted = flag;
  }

  const Py_ssize_t length = binding::list_length(list);
  if (length == 0) return binding::new_bytes({});
  PostingArray postings(static_cast<std::size_t>(length));
  // In the caller's order the encoded size can be counted while the postings arrive.
  std::size_t size = 0;
  std::int32_t previous = 0;
  auto append = [&](const Posting& posting) noexcept {
    size += posting_length(posting, previous);
    previous = posting.doc_id;
    postings.push_back(posting);
  };
  // Items beyond the length read above are not visited (it can only grow on a free-threaded
  // interpreter, meanwhile). Plain elements are read in place under the list's critical section,
  // since nothing can run that would change the list meanwhile.
  QUORBEL_TRY(binding::walk_list(
      list, length,
      [&](PyObject* element) -> Status {
        QUORBEL_ASSIGN_OR_RETURN(Posting posting, to_posting(element));
        append(posting);
        return binding::ok();
      },
      [&](PyObject* element) noexcept {
        Posting posting;
        if (!plain_posting(element, posting)) return false;
        append(posting);
        return true;
      }));

  if (assume_sorted) return postings_to_bytes(postings.span(), size);
  sort_ranking_order(postings.span());
  return postings_to_bytes(postings.span());
}

Result<PyRef> py_decode_posting_list(const Slots& slots) {
  QUORBEL_ASSIGN_OR_RETURN(ByteSpan data, binding::convert_arg(slots, 0, binding::to_byte_span));
  return decode_postings(data);
}

}  // namespace

constinit binding::Function encode_posting_list_function{
    {"encode_posting_list", {"postings", "assume_sorted"}, 2, 1},
    binding::entry_point<encode_posting_list_function, py_encode_posting_list>,
    "encode_posting_list(postings, assume_sorted=False)\n--\n\n"
    "Encode a posting list using delta encoding and varint compression.\n\n"
    "Postings are sorted by document ID and delta-encoded:\n"
    "- First doc_id is stored as-is\n"
    "- Subsequent doc_ids are stored as deltas\n\n"
    "Args:\n"
    "    postings: List of (doc_id, content_freq, title_freq) tuples.\n"
    "    assume_sorted: If True, skip sorting (postings already sorted by doc_id).\n\n"
    "Returns:\n"
    "    Compressed bytes representation of the posting list."};

constinit binding::Function decode_posting_list_function{
    {"decode_posting_list", {"data"}, 1, 1},
    binding::entry_point<decode_posting_list_function, py_decode_posting_list>,
    "decode_posting_list(data)\n--\n\n"
    "Decode a posting list from compressed bytes.\n\n"
    "Args:\n"
    "    data: Compressed bytes representation of the posting list.\n\n"
    "Returns:\n"
    "    List of (doc_id, content_freq, title_freq) tuples."};

}  // namespace quorbel::encoding
