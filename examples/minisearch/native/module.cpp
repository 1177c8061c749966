// minisearch._kernels: the engine's native kernels. One function, top_k, evaluates the three
// common query shapes over postings it decodes in place from the mapped block files; the
// arguments are checked here, the evaluation (evaluation.h) knows nothing of Python. The phrase
// kernels (phrase_binding.h) are registered here too.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arguments.h"
#include "binding/py_ref.h"
#include "build_binding.h"
#include "evaluation.h"
#include "guarded.h"
#include "phrase_binding.h"
#include "store_binding.h"
#ifdef MINISEARCH_ZLIB
#include "stored_binding.h"
#endif

namespace minisearch::kernels {
namespace {

using quorbel::binding::PyRef;

// Taking and releasing a buffer of a shared object (a mapped file, the term table's arrays, the
// norms): every thread searching an index shares them, and the free-threaded 3.13 counts their
// exports without atomics (two threads' counts can be lost, and a close is then refused), which a
// critical section on the exporter does not prevent. One process-wide lock serialises the
// kernels' exports; a thread waits for it detached, so that it never holds up a stop-the-world.
#ifdef Py_GIL_DISABLED
class ExportLock {
 public:
  ExportLock() {
    if (mutex_.try_lock()) return;
    Py_BEGIN_ALLOW_THREADS;
    mutex_.lock();
    Py_END_ALLOW_THREADS;
  }
  ExportLock(const ExportLock&) = delete;
  ExportLock& operator=(const ExportLock&) = delete;
  ~ExportLock() { mutex_.unlock(); }

 private:
  static inline std::mutex mutex_;
};
#else
struct ExportLock {
  ExportLock() {}  // the GIL serialises them
};
#endif

// A buffer held for the length of the call.
class Buffer {
 public:
  Buffer(PyObject* object, const char* format, std::size_t itemsize, bool writable,
         const char* what) {
    const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    int taken;
    {
      const ExportLock lock;
      taken = PyObject_GetBuffer(object, &view_, flags);
    }
    if (taken < 0) throw PythonError{};
    held_ = true;
    const char* found = view_.format != nullptr ? view_.format : "B";
    if (found[0] == '@' || found[0] == '=') ++found;
    if (static_cast<std::size_t>(view_.itemsize) != itemsize || std::strcmp(found, format) != 0) {
      release();  // no destructor runs for a constructor that throws
      raise(PyExc_TypeError, std::string(what) + " must be a buffer of '" + format + "' items");
    }
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  ~Buffer() { release(); }

  void release() noexcept {
    if (!std::exchange(held_, false)) return;
    const ExportLock lock;
    PyBuffer_Release(&view_);
  }

  template <class T>
  std::span<T> items() const noexcept {
    return {static_cast<T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

std::int32_t to_i32(PyObject* object, const char* what) {
  const std::int64_t value = to_int(object, what);
  if (value < INT32_MIN || value > INT32_MAX)
    raise(PyExc_OverflowError, std::string(what) + " does not fit in 32 bits");
  return static_cast<std::int32_t>(value);
}

// The postings of a term given whole: a list of (doc_id, content_freq, title_freq), read under
// the list's lock (another thread may hold it).
std::vector<Posting> given_postings(PyObject* list) {
  if (!PyList_Check(list)) raise(PyExc_TypeError, "a term's postings must be a list");
  std::vector<Posting> postings;
  bool failed = false;
  Py_BEGIN_CRITICAL_SECTION(list);
  const Py_ssize_t size = PyList_GET_SIZE(list);
  try {
    postings.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 3)
        raise(PyExc_TypeError, "a posting must be a tuple of 3 ints");
      postings.push_back({to_i32(PyTuple_GET_ITEM(item, 0), "a doc id"),
                          to_i32(PyTuple_GET_ITEM(item, 1), "a frequency"),
                          to_i32(PyTuple_GET_ITEM(item, 2), "a frequency")});
    }
  } catch (const PythonError&) {
    failed = true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    failed = true;
  }
  Py_END_CRITICAL_SECTION();
  if (failed) throw PythonError{};
  return postings;
}

// The fields of a term tuple (see minisearch/kernels.py, KernelTerm).
enum Field : Py_ssize_t {
  kWeight,
  kFile,
  kTable,
  kUnchecked,
  kHeadEntry,
  kFirstChunk,
  kChunkCount,
  kImpactOrder,
  kDocBegin,
  kDocEnd,
  kWhat,
  kGivenHead,
  kFieldCount
};

// The head's order: True (impact order at today's average length), False (none to rely on) or
// (tier_ratio, norm_constant), impact order at another length (see TermData).
void impact_order(PyObject* order, TermData& data) {
  if (!PyTuple_Check(order)) {
    data.head_in_impact_order = PyObject_IsTrue(order) == 1;
    return;
  }
  if (PyTuple_GET_SIZE(order) != 2)
    raise(PyExc_TypeError, "impact_order must be a bool or a tuple (tier_ratio, norm_constant)");
  data.tier_ratio = to_double(PyTuple_GET_ITEM(order, 0), "tier_ratio");
  data.norm_constant = to_double(PyTuple_GET_ITEM(order, 1), "norm_constant");
  if (!(data.tier_ratio > 0.0) || !std::isfinite(data.tier_ratio) ||
      !std::isfinite(data.norm_constant))
    raise(PyExc_ValueError, "tier_ratio must be positive and finite, norm_constant finite");
}

// A term's arguments turned into TermData; `held` keeps the buffers it points into.
TermData term_data(PyObject* term, std::deque<Buffer>& held) {
  if (!PyTuple_Check(term) || PyTuple_GET_SIZE(term) != kFieldCount) {
    raise(PyExc_TypeError, "a term must be a tuple of " + std::to_string(kFieldCount) + " fields");
  }
  auto field = [term](Field index) { return PyTuple_GET_ITEM(term, index); };
  TermData data;
  data.weight = to_double(field(kWeight), "weight");
  impact_order(field(kImpactOrder), data);
  data.doc_begin = to_int(field(kDocBegin), "doc_begin");
  data.doc_end = to_int(field(kDocEnd), "doc_end");
  PyObject* what = field(kWhat);
  if (!PyUnicode_Check(what)) raise(PyExc_TypeError, "what must be a str");
  const char* what_text = PyUnicode_AsUTF8(what);
  if (what_text == nullptr) throw PythonError{};
  data.what = what_text;
  if (field(kFile) == Py_None) {
    data.given_head = given_postings(field(kGivenHead));
    return data;
  }
  PyObject* table = field(kTable);
  if (!PyTuple_Check(table) || PyTuple_GET_SIZE(table) != 6)
    raise(PyExc_TypeError, "table must be a tuple of 6 arrays");
  const Buffer& file = held.emplace_back(field(kFile), "B", 1, false, "file");
  const Buffer& starts = held.emplace_back(PyTuple_GET_ITEM(table, 0), "q", 8, false, "starts");
  const Buffer& ends = held.emplace_back(PyTuple_GET_ITEM(table, 1), "q", 8, false, "ends");
  const bool has_crcs = PyTuple_GET_ITEM(table, 2) != Py_None;
  const Buffer* crcs =
      has_crcs ? &held.emplace_back(PyTuple_GET_ITEM(table, 2), "I", 4, false, "crcs") : nullptr;
  const Buffer& first_docs =
      held.emplace_back(PyTuple_GET_ITEM(table, 3), "q", 8, false, "first_docs");
  const Buffer& max_f = held.emplace_back(PyTuple_GET_ITEM(table, 4), "q", 8, false, "max_f");
  const Buffer& impacts = held.emplace_back(PyTuple_GET_ITEM(table, 5), "d", 8, false, "impacts");
  std::span<std::uint8_t> unchecked;
  if (has_crcs)
    unchecked =
        held.emplace_back(field(kUnchecked), "B", 1, true, "unchecked").items<std::uint8_t>();

  const std::int64_t head = to_int(field(kHeadEntry), "head_entry");
  const std::int64_t first = to_int(field(kFirstChunk), "first_chunk");
  const std::int64_t count = to_int(field(kChunkCount), "chunk_count");
  const auto entries = starts.items<const std::int64_t>().size();
  const auto chunk_total = first_docs.items<const std::int64_t>().size();
  const bool in_range =
      head >= 0 && count >= 0 && first >= 0 && static_cast<std::uint64_t>(head + count) < entries &&
      ends.items<const std::int64_t>().size() == entries &&
      (!has_crcs ||
       (crcs->items<const std::uint32_t>().size() == entries && unchecked.size() == entries)) &&
      static_cast<std::uint64_t>(first + count) <= chunk_total &&
      max_f.items<const std::int64_t>().size() == chunk_total &&
      impacts.items<const double>().size() == chunk_total;
  if (!in_range) raise(PyExc_ValueError, "a term's entries or chunks lie outside its table");
  data.file = file.items<const std::uint8_t>();
  for (std::int64_t entry = head; entry <= head + count; ++entry) {
    const auto e = static_cast<std::size_t>(entry);
    const std::int64_t start = starts.items<const std::int64_t>()[e];
    const std::int64_t end = ends.items<const std::int64_t>()[e];
    if (start < 0 || end < start || static_cast<std::uint64_t>(end) > data.file.size()) {
      raise(PyExc_ValueError,
            data.what + ": entry " + std::to_string(entry) + " lies outside the file");
    }
    data.entries.push_back({static_cast<std::size_t>(start), static_cast<std::size_t>(end),
                            has_crcs ? crcs->items<const std::uint32_t>()[e] : 0u,
                            has_crcs ? &unchecked[e] : nullptr});
  }
  for (std::int64_t chunk = first; chunk < first + count; ++chunk) {
    const auto c = static_cast<std::size_t>(chunk);
    const std::int64_t first_doc = first_docs.items<const std::int64_t>()[c];
    if (first_doc < INT32_MIN || first_doc > INT32_MAX)
      raise(PyExc_OverflowError, "a chunk's first doc does not fit in 32 bits");
    data.first_docs.push_back(static_cast<std::int32_t>(first_doc));
    data.max_f.push_back(max_f.items<const std::int64_t>()[c]);
    data.impacts.push_back(impacts.items<const double>()[c]);
  }
  return data;
}

PyObject* result_of(const Evaluation& evaluation) {
  PyRef hits = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(evaluation.hits.size())));
  if (!hits) return nullptr;
  for (std::size_t i = 0; i < evaluation.hits.size(); ++i) {
    PyObject* hit = Py_BuildValue("(id)", evaluation.hits[i].doc, evaluation.hits[i].score);
    if (hit == nullptr) return nullptr;
    PyList_SET_ITEM(hits.get(), static_cast<Py_ssize_t>(i), hit);
  }
  const Stats& s = evaluation.stats;
  return Py_BuildValue("(O(KKKK))", hits.get(), static_cast<unsigned long long>(s.postings_decoded),
                       static_cast<unsigned long long>(s.postings_scored),
                       static_cast<unsigned long long>(s.chunks_decoded),
                       static_cast<unsigned long long>(s.documents_checked));
}

// The documents a segment's evaluation leaves out: a set of ids, a buffer of ascending int32 ids
// (a segment's deleted documents, kept as one; ids out of order are not an error, only not
// found), or None.
class ExcludedDocs {
 public:
  explicit ExcludedDocs(PyObject* excluded) : set_(excluded) {
    if (excluded == Py_None || PyAnySet_Check(excluded)) return;
    if (!PyObject_CheckBuffer(excluded))
      raise(PyExc_TypeError, "excluded must be a set, a frozenset, a buffer of 'i' items or None");
    ids_.emplace(excluded, "i", 4, false, "excluded");
    set_ = Py_None;
  }

  bool operator()(std::int32_t doc) const {
    if (ids_) {
      const auto ids = ids_->items<const std::int32_t>();
      return std::binary_search(ids.begin(), ids.end(), doc);
    }
    if (set_ == Py_None) return false;
    PyRef key = PyRef::steal(PyLong_FromLong(doc));
    if (!key) throw PythonError{};
    const int found = PySet_Contains(set_, key.get());
    if (found < 0) throw PythonError{};
    return found == 1;
  }

 private:
  PyObject* set_;
  std::optional<Buffer> ids_;
};

Shape shape_of(PyObject* object) {
  const std::int64_t shape = to_int(object, "shape");
  if (shape < 0 || shape > 2)
    raise(PyExc_ValueError, "shape must be 0 (one term), 1 (every term) or 2 (any term)");
  return static_cast<Shape>(shape);
}

// What every segment of a query shares: the norms, k, the ranking's constants.
struct Settings {
  std::span<const double> norms;
  std::size_t k;
  double floor;
  Ranking ranking;
};

Settings settings_of(const Buffer& norms, PyObject* const* args) {
  const std::int64_t k = to_int(args[0], "k");
  if (k < 0) raise(PyExc_ValueError, "k must not be negative");
  const double floor = to_double(args[1], "floor");
  const double k1 = to_double(args[2], "k1");
  const std::int64_t title_weight = to_int(args[3], "title_weight");
  if (title_weight < -(std::int64_t{1} << 31) || title_weight > (std::int64_t{1} << 31)) {
    raise(PyExc_OverflowError, "title_weight is out of range");
  }
  return {norms.items<const double>(), static_cast<std::size_t>(k), floor,
          Ranking{k1 + 1.0, title_weight}};
}

PyObject* top_k(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 8)
    raise(PyExc_TypeError,
          "top_k() takes 8 arguments (shape, terms, excluded, norms, k, floor, k1, title_weight)");
  const Shape shape = shape_of(args[0]);
  PyObject* terms = args[1];
  if (!PyTuple_Check(terms)) raise(PyExc_TypeError, "terms must be a tuple");
  const Py_ssize_t term_count = PyTuple_GET_SIZE(terms);
  if ((shape == Shape::one_term && term_count != 1) || term_count > 64)
    raise(PyExc_ValueError, "one term, or up to 64 terms, for this shape");
  const ExcludedDocs excluded(args[2]);
  const Buffer norms(args[3], "d", 8, false, "norms");
  const Settings settings = settings_of(norms, args + 4);
  std::deque<Buffer> held;  // a deque: the terms point into its buffers as it grows
  std::vector<TermData> data;
  for (Py_ssize_t t = 0; t < term_count; ++t)
    data.push_back(term_data(PyTuple_GET_ITEM(terms, t), held));
  return result_of(evaluate(shape, data, settings.norms, settings.ranking, settings.k,
                            settings.floor, std::cref(excluded)));
}

// The k-th best score of `hits` (k of them at least).
double kth_score(const std::vector<Hit>& hits, std::size_t k) {
  std::vector<double> scores;
  scores.reserve(hits.size());
  for (const Hit& hit : hits) scores.push_back(hit.score);
  std::nth_element(scores.begin(), scores.begin() + static_cast<std::ptrdiff_t>(k - 1),
                   scores.end(), std::greater<>());
  return scores[k - 1];
}

// One query over every segment, as minisearch.search ranks a query of one word, words ANDed or
// words ORed: each segment's terms (None where it holds no live document of that word; a segment
// missing a word of an AND is passed over, one left with a single word is a one-term query), the
// segments in order, each beating the k-th best score of those before; the best k of all, ties
// by document id.
PyObject* top_k_segments(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 7)
    raise(
        PyExc_TypeError,
        "top_k_segments() takes 7 arguments (shape, segments, norms, k, floor, k1, title_weight)");
  const Shape shape = shape_of(args[0]);
  PyObject* segments = args[1];
  if (!PyTuple_Check(segments)) raise(PyExc_TypeError, "segments must be a tuple");
  const Buffer norms(args[2], "d", 8, false, "norms");
  Settings settings = settings_of(norms, args + 3);
  Evaluation all;
  const Py_ssize_t count = PyTuple_GET_SIZE(segments);
  for (Py_ssize_t number = 0; number < count && settings.k > 0; ++number) {
    PyObject* segment = PyTuple_GET_ITEM(segments, number);
    if (!PyTuple_Check(segment) || PyTuple_GET_SIZE(segment) != 2)
      raise(PyExc_TypeError, "a segment must be a tuple (terms, excluded)");
    PyObject* terms = PyTuple_GET_ITEM(segment, 0);
    if (!PyTuple_Check(terms)) raise(PyExc_TypeError, "a segment's terms must be a tuple");
    const Py_ssize_t term_count = PyTuple_GET_SIZE(terms);
    if ((shape == Shape::one_term && term_count != 1) || term_count > 64)
      raise(PyExc_ValueError, "one term, or up to 64 terms, for this shape");
    std::deque<Buffer> held;
    std::vector<TermData> data;
    for (Py_ssize_t t = 0; t < term_count; ++t) {
      PyObject* term = PyTuple_GET_ITEM(terms, t);
      if (term != Py_None) data.push_back(term_data(term, held));
    }
    if (data.empty() ||
        (data.size() < static_cast<std::size_t>(term_count) && shape != Shape::any_term))
      continue;
    const ExcludedDocs excluded(PyTuple_GET_ITEM(segment, 1));
    Evaluation found = evaluate(data.size() == 1 ? Shape::one_term : shape, data, settings.norms,
                                settings.ranking, settings.k, settings.floor, std::cref(excluded));
    all.hits.insert(all.hits.end(), found.hits.begin(), found.hits.end());
    all.stats.postings_decoded += found.stats.postings_decoded;
    all.stats.postings_scored += found.stats.postings_scored;
    all.stats.chunks_decoded += found.stats.chunks_decoded;
    all.stats.documents_checked += found.stats.documents_checked;
    if (number + 1 < count && all.hits.size() >= settings.k)
      settings.floor = kth_score(all.hits, settings.k);
  }
  std::sort(all.hits.begin(), all.hits.end(), [](const Hit& a, const Hit& b) {
    return a.score != b.score ? a.score > b.score : a.doc < b.doc;
  });
  if (all.hits.size() > settings.k) all.hits.resize(settings.k);
  return result_of(all);
}

PyMethodDef methods[] = {
    {"top_k", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<top_k>)),
     METH_FASTCALL,
     "top_k(shape, terms, excluded, norms, k, floor, k1, title_weight)\n--\n\n"
     "The k best (doc_id, score) of one segment and the work done (postings decoded, postings\n"
     "scored, chunks decoded, documents checked); see minisearch.kernels."},
    {"top_k_segments",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<top_k_segments>)),
     METH_FASTCALL,
     "top_k_segments(shape, segments, norms, k, floor, k1, title_weight)\n--\n\n"
     "top_k over every segment of an index, each given as (terms, excluded); see\n"
     "minisearch.kernels."},
    {"build_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_build_block)),
     METH_FASTCALL,
     "build_block(titles, contents, first_doc, partitions, positions, max_length, tokenize, zlib)\n"
     "--\n\n"
     "One block's partition files and its documents' lengths; see minisearch.native_build."},
    {"merge_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_merge_blocks)),
     METH_FASTCALL,
     "merge_blocks(inputs, read, norms, lengths, settings, postings_path, positions_path, zlib)\n"
     "--\n\n"
     "Merge one partition of a new segment from its blocks; see minisearch.native_build."},
    {"count_documents",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_count_documents)), METH_FASTCALL,
     "count_documents(titles, contents, max_length, tokenize)\n--\n\n"
     "Per term, how many of the documents hold it; see minisearch.native_build."},
    {"store_groups_start",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_store_groups_start)),
     METH_FASTCALL,
     "store_groups_start(contents, group_size, zlib_version, level)\n--\n\n"
     "The document store's groups of the contents, begun on a thread of their own, or None\n"
     "without that zlib; see minisearch.native_build."},
    {"store_groups_result",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_store_groups_result)),
     METH_FASTCALL,
     "store_groups_result(started)\n--\n\n"
     "(groups, sizes) of groups begun by store_groups_start, once they are made."},
#ifdef MINISEARCH_ZLIB  // the phrase and stored-text kernels inflate with zlib
    {"phrase_postings",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_phrase_postings)), METH_FASTCALL,
     kPhrasePostingsDoc},
    {"packed_top_k", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_packed_top_k)),
     METH_FASTCALL, kPackedTopKDoc},
#ifdef MINISEARCH_LIBDEFLATE
    {"inflate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_inflate)),
     METH_FASTCALL,
     "inflate(data)\n--\n\n"
     "One whole zlib stream inflated (by libdeflate), or None when it is not one sound stream;\n"
     "see minisearch.layout."},
#endif
    {"json_strings", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_json_strings)),
     METH_FASTCALL,
     "json_strings(payload, wanted, count)\n--\n\n"
     "The strings at the ascending positions wanted of a JSON array of count strings, or None;\n"
     "see minisearch.native_build."},
    {"keys_among", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_keys_among)),
     METH_FASTCALL,
     "keys_among(payload, wanted, count)\n--\n\n"
     "[(place, index in wanted)] of the wanted keys in a keys file's JSON array, or None;\n"
     "see minisearch.native_build."},
    {"stored_terms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_stored_terms)),
     METH_FASTCALL,
     "stored_terms(store, spans, members, titles, max_length, tokenize)\n--\n\n"
     "Per term, how many of the stored documents hold it, or None; see minisearch.native_build."},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    // No state, and nothing shared between calls: every call reads only its arguments.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "minisearch._kernels",
    "The minisearch engine's native kernels.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace minisearch::kernels

PyMODINIT_FUNC PyInit__kernels() {
  return PyModuleDef_Init(&minisearch::kernels::module_definition);
}
