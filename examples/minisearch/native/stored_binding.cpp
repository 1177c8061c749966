// json_strings, keys_among and stored_terms: the chosen strings of a JSON array, the places of
// wanted keys in a keys file, and the terms of stored documents counted, each group inflated and
// read in C++ without the GIL. Anything unusual (a damaged group, an escape Python's json reads
// differently) gives None, and the caller's Python code reads that input, decoding it or naming the
// damage as it always has.
#include "stored_binding.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "arguments.h"
#include "build_block.h"
#include "field_text.h"
#include "gil.h"
#include "guarded.h"
#include "held_buffer.h"
#include "json_strings.h"
#include "whole_inflate.h"

namespace minisearch::kernels {
namespace {

using quorbel::binding::PyRef;

PyObject* json_strings(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) raise(PyExc_TypeError, "json_strings takes 3 arguments (payload, wanted, count)");
  const HeldBuffer payload(args[0], "B", 1, "payload must be a bytes-like object");
  const HeldBuffer wanted(args[1], "I", sizeof(std::uint32_t), "wanted must be an array('I')");
  const std::int64_t count = to_int(args[2], "count");
  std::vector<std::string> found;
  std::optional<std::size_t> total;
  {
    const WithoutGil detached;
    const std::span<const char> json = payload.items<char>();
    total = json_strings_at({json.data(), json.size()}, wanted.items<std::uint32_t>(), found);
  }
  if (!total || static_cast<std::int64_t>(*total) != count) Py_RETURN_NONE;
  PyRef strings = checked(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i) {
    PyObject* text =
        PyUnicode_DecodeUTF8(found[i].data(), static_cast<Py_ssize_t>(found[i].size()), "strict");
    if (text == nullptr) {  // not UTF-8: json names the damage
      PyErr_Clear();
      Py_RETURN_NONE;
    }
    PyList_SET_ITEM(strings.get(), static_cast<Py_ssize_t>(i), text);
  }
  return strings.release();
}

// Clears the error of a key no keys file can hold (a ValueError: a lone surrogate, an integer of
// more digits than Python writes); any other error (memory) is raised.
void unholdable_key() {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PythonError{};
  PyErr_Clear();
}

// A key's text as the keys file writes it; nullopt for one that no keys file can hold.
std::optional<std::string> key_text(PyObject* key) {
  PyRef text;
  if (PyLong_CheckExact(key)) {
    text = PyRef::steal(PyObject_Str(key));
    if (!text) {
      unholdable_key();
      return std::nullopt;
    }
    key = text.get();
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
  if (utf8 == nullptr) {
    unholdable_key();
    return std::nullopt;
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

PyObject* keys_among(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) raise(PyExc_TypeError, "keys_among takes 3 arguments (payload, wanted, count)");
  const HeldBuffer payload(args[0], "B", 1, "payload must be a bytes-like object");
  PyObject* keys = args[1];
  if (!PyList_CheckExact(keys)) raise(PyExc_TypeError, "wanted must be a list of keys");
  const std::int64_t count = to_int(args[2], "count");
  if (PyList_GET_SIZE(keys) > UINT32_MAX) Py_RETURN_NONE;  // more than a key's index can name
  WantedKeys wanted;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys); ++i) {
    PyObject* key = PyList_GET_ITEM(keys, i);
    const bool is_string = PyUnicode_CheckExact(key);
    if (!is_string && !PyLong_CheckExact(key)) Py_RETURN_NONE;  // Python compares the others
    std::optional<std::string> text = key_text(key);
    if (text)
      (is_string ? wanted.strings : wanted.integers)
          .emplace(std::move(*text), static_cast<std::uint32_t>(i));
  }
  std::vector<FoundKey> found;
  std::optional<std::size_t> total;
  {
    const WithoutGil detached;
    const std::span<const char> json = payload.items<char>();
    total = json_keys_among({json.data(), json.size()}, wanted, found);
  }
  if (!total || static_cast<std::int64_t>(*total) != count) Py_RETURN_NONE;
  PyRef places = checked(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i)
    PyList_SET_ITEM(places.get(), static_cast<Py_ssize_t>(i),
                    checked(Py_BuildValue("(II)", found[i].place, found[i].key)).release());
  return places.release();
}

// The wanted documents' texts, in order: each group inflated once. False when one is unusual.
bool stored_texts(std::span<const std::uint8_t> store, std::span<const std::uint64_t> spans,
                  std::span<const std::uint32_t> members, std::vector<std::string>& texts) {
  WholeInflater inflater;
  std::vector<std::uint32_t> places;
  for (std::size_t m = 0; m < members.size() / 2;) {
    const std::uint32_t span = members[2 * m];
    if (2 * static_cast<std::size_t>(span) + 1 >= spans.size()) return false;
    const std::uint64_t start = spans[2 * span], end = spans[2 * span + 1];
    if (start > end || end > store.size()) return false;
    places.clear();
    for (; m < members.size() / 2 && members[2 * m] == span; ++m)
      places.push_back(members[2 * m + 1]);
    const std::optional<std::string_view> group =
        inflater.inflate_whole(store.subspan(start, end - start));
    if (!group || !json_strings_at(*group, places, texts)) return false;
  }
  return true;
}

// stored_texts on two threads, each taking half the groups, when there are enough of them.
bool stored_texts_split(std::span<const std::uint8_t> store, std::span<const std::uint64_t> spans,
                        std::span<const std::uint32_t> members, std::vector<std::string>& texts) {
  constexpr std::size_t kSplitFrom = 64;  // documents; fewer are not worth a thread
  std::size_t half = members.size() / 4;  // a member is two items
  while (half > 0 && half < members.size() / 2 && members[2 * half] == members[2 * half - 2])
    ++half;
  if (members.size() / 2 < kSplitFrom || half == 0 || half >= members.size() / 2)
    return stored_texts(store, spans, members, texts);
  std::vector<std::string> later;
  bool later_read = false;
  std::exception_ptr failure;
  std::thread helper([&]() noexcept {
    try {
      later_read = stored_texts(store, spans, members.subspan(2 * half), later);
    } catch (...) {
      failure = std::current_exception();
    }
  });
  bool read = false;
  try {
    read = stored_texts(store, spans, members.first(2 * half), texts);
  } catch (...) {
    helper.join();
    throw;
  }
  helper.join();
  if (failure) std::rethrow_exception(failure);
  if (!read || !later_read) return false;
  for (std::string& text : later) texts.push_back(std::move(text));
  return true;
}

PyObject* stored_terms(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 6)
    raise(PyExc_TypeError,
          "stored_terms takes 6 arguments (store, spans, members, titles, max_length, rule)");
  const HeldBuffer store(args[0], "B", 1, "store must be a bytes-like object");
  const HeldBuffer spans(args[1], "Q", sizeof(std::uint64_t), "spans must be an array('Q')");
  const HeldBuffer members(args[2], "I", sizeof(std::uint32_t), "members must be an array('I')");
  PyObject* titles = args[3];
  const std::int64_t max_length = to_int(args[4], "max_length");
  if (max_length < 0) raise(PyExc_ValueError, "max_length must not be negative");
  const std::span<const std::uint32_t> member_items = members.items<std::uint32_t>();
  if (!PyList_CheckExact(titles) ||
      2 * static_cast<std::size_t>(PyList_GET_SIZE(titles)) != member_items.size())
    raise(PyExc_TypeError, "titles must be a list of one title per member");
  const TokenRule rule = token_rule(args[5]);
  std::vector<FieldText> title_fields;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(titles); ++i)
    title_fields.push_back(field_text(PyList_GET_ITEM(titles, i), rule));

  BlockBuilder builder(0, false);
  std::vector<std::string> texts;
  std::vector<std::size_t> other;  // documents whose text is not ASCII: prepared by Python
  std::vector<std::uint32_t> title_ids, content_ids;
  bool readable = false;
  {
    const WithoutGil detached;
    readable = stored_texts_split(store.items<std::uint8_t>(), spans.items<std::uint64_t>(),
                                  member_items, texts) &&
               texts.size() == title_fields.size();
    for (std::size_t i = 0; readable && i < texts.size(); ++i) {
      if (!is_ascii(texts[i])) {
        other.push_back(i);
        continue;
      }
      field_terms(title_fields[i], static_cast<std::size_t>(max_length), builder.terms(),
                  title_ids);
      content_ids.clear();
      ascii_terms(texts[i], static_cast<std::size_t>(max_length), builder.terms(), content_ids);
      builder.add_document(title_ids, content_ids);
    }
  }
  if (!readable) Py_RETURN_NONE;
  for (const std::size_t i : other) {
    PyObject* text =
        PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()), "strict");
    if (text == nullptr) {  // not UTF-8: Python's reading names the damage
      PyErr_Clear();
      Py_RETURN_NONE;
    }
    const PyRef content = PyRef::steal(text);
    field_terms(title_fields[i], static_cast<std::size_t>(max_length), builder.terms(), title_ids);
    field_terms(field_text(content.get(), rule), static_cast<std::size_t>(max_length),
                builder.terms(), content_ids);
    builder.add_document(title_ids, content_ids);
  }
  return term_counts(builder).release();
}

#ifdef MINISEARCH_LIBDEFLATE
PyObject* inflate(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) raise(PyExc_TypeError, "inflate takes 1 argument (data)");
  const HeldBuffer data(args[0], "B", 1, "data must be a bytes-like object");
  WholeInflater inflater;  // its buffer goes with it: a large file's does not stay
  std::optional<std::string_view> inflated;
  {
    const WithoutGil detached;
    inflated = inflater.inflate_whole(data.items<std::uint8_t>());
  }
  if (!inflated) Py_RETURN_NONE;
  return checked(
             PyBytes_FromStringAndSize(inflated->data(), static_cast<Py_ssize_t>(inflated->size())))
      .release();
}
#endif

}  // namespace

#ifdef MINISEARCH_LIBDEFLATE
PyObject* py_inflate(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<inflate>(nullptr, args, nargs);
}
#endif

PyObject* py_json_strings(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<json_strings>(nullptr, args, nargs);
}

PyObject* py_keys_among(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<keys_among>(nullptr, args, nargs);
}

PyObject* py_stored_terms(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<stored_terms>(nullptr, args, nargs);
}

}  // namespace minisearch::kernels
