// The phrase kernels' Python side: arguments checked and turned into plain views, the work done
// without the GIL (phrase_postings.h; evaluation.h for the top k).
//
// Every buffer these functions take is a memoryview that minisearch.phrase_kernels made for them
// alone (of a mapped file, a table's array, the norms): taking and releasing it touches only the
// memoryview's count of exports, which the free-threaded 3.13 keeps without atomics, so these
// functions take and release them under a lock of their own, and never export the shared objects
// that the other kernels read.
#include "phrase_binding.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "arguments.h"
#include "binding/py_ref.h"
#include "evaluation.h"
#include "gil.h"
#include "guarded.h"
#include "phrase_postings.h"

namespace minisearch::kernels {
namespace {

using quorbel::binding::PyRef;
using quorbel::encoding::Posting;

#ifdef Py_GIL_DISABLED
std::mutex export_mutex;
struct ExportLock {
  ExportLock() {
    if (export_mutex.try_lock()) return;
    Py_BEGIN_ALLOW_THREADS;
    export_mutex.lock();
    Py_END_ALLOW_THREADS;
  }
  ExportLock(const ExportLock&) = delete;
  ExportLock& operator=(const ExportLock&) = delete;
  ~ExportLock() { export_mutex.unlock(); }
};
#else
struct ExportLock {
  ExportLock() {}  // the GIL serialises them
};
#endif

// A buffer of `format` items held for the length of the call.
class View {
 public:
  View(PyObject* object, const char* format, std::size_t itemsize, bool writable,
       const char* what) {
    if (!PyMemoryView_Check(object))
      raise(PyExc_TypeError, std::string(what) + " must be a memoryview");
    const int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0);
    int taken;
    {
      const ExportLock lock;
      taken = PyObject_GetBuffer(object, &view_, flags);
    }
    if (taken < 0) throw PythonError{};
    held_ = true;
    const char* found = view_.format != nullptr ? view_.format : "B";
    if (found[0] == '@' || found[0] == '=' || found[0] == '<') ++found;
    if (static_cast<std::size_t>(view_.itemsize) != itemsize || std::strcmp(found, format) != 0) {
      release();
      raise(PyExc_TypeError, std::string(what) + " must be a memoryview of '" + format + "' items");
    }
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  ~View() { release(); }

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

// The text of a str, alive as long as the str (the tuples given hold theirs for the call).
const char* text_of(PyObject* object, const char* what) {
  if (!PyUnicode_Check(object)) raise(PyExc_TypeError, std::string(what) + " must be a str");
  const char* text = PyUnicode_AsUTF8(object);
  if (text == nullptr) throw PythonError{};
  return text;
}

PyObject* tuple_of(PyObject* object, Py_ssize_t size, const char* what) {
  if (!PyTuple_Check(object) || (size >= 0 && PyTuple_GET_SIZE(object) != size)) {
    raise(PyExc_TypeError, std::string(what) + " must be a tuple" +
                               (size >= 0 ? " of " + std::to_string(size) + " items" : ""));
  }
  return object;
}

// The fields of a partition tuple (see minisearch/phrase_kernels.py, PartitionViews).
enum PartitionField : Py_ssize_t {
  kBlocks,
  kStarts,
  kEnds,
  kCrcs,
  kUnchecked,
  kCounts,
  kChunkFirstDocs,
  kDocBegin,
  kDocEnd,
  kBlocksWhat,
  kPositions,
  kTermRuns,
  kRunCounts,
  kRunEnds,
  kPositionsWhat,
  kKey,
  kPartitionFields
};

PhrasePartition partition_of(PyObject* tuple, std::deque<View>& held) {
  tuple_of(tuple, kPartitionFields, "a partition");
  auto field = [tuple](PartitionField index) { return PyTuple_GET_ITEM(tuple, index); };
  PhrasePartition part;
  part.blocks =
      held.emplace_back(field(kBlocks), "B", 1, false, "blocks").items<const std::uint8_t>();
  part.starts =
      held.emplace_back(field(kStarts), "q", 8, false, "starts").items<const std::int64_t>();
  part.ends = held.emplace_back(field(kEnds), "q", 8, false, "ends").items<const std::int64_t>();
  if (field(kCrcs) != Py_None) {
    part.crcs = held.emplace_back(field(kCrcs), "I", 4, false, "crcs").items<const std::uint32_t>();
    part.unchecked =
        held.emplace_back(field(kUnchecked), "B", 1, true, "unchecked").items<std::uint8_t>();
  }
  part.counts = held.emplace_back(field(kCounts), "I", 4, true, "counts").items<std::uint32_t>();
  part.chunk_first_docs =
      held.emplace_back(field(kChunkFirstDocs), "I", 4, false, "chunk_first_docs")
          .items<const std::uint32_t>();
  part.doc_begin = to_int(field(kDocBegin), "doc_begin");
  part.doc_end = to_int(field(kDocEnd), "doc_end");
  part.blocks_what = text_of(field(kBlocksWhat), "what");
  part.positions =
      held.emplace_back(field(kPositions), "B", 1, false, "positions").items<const std::uint8_t>();
  part.term_runs =
      held.emplace_back(field(kTermRuns), "I", 4, false, "term_runs").items<const std::uint32_t>();
  part.run_counts = held.emplace_back(field(kRunCounts), "I", 4, false, "run_counts")
                        .items<const std::uint32_t>();
  part.run_ends =
      held.emplace_back(field(kRunEnds), "Q", 8, false, "run_ends").items<const std::uint64_t>();
  part.positions_what = text_of(field(kPositionsWhat), "what");
  const std::int64_t key = to_int(field(kKey), "key");
  if (key < 1) raise(PyExc_ValueError, "a partition's key must be positive");
  part.key = static_cast<std::uint64_t>(key);
  const std::size_t entries = part.starts.size();
  if (part.ends.size() != entries || part.counts.size() != entries ||
      part.chunk_first_docs.size() > entries ||
      (!part.crcs.empty() && (part.crcs.size() != entries || part.unchecked.size() != entries)) ||
      part.run_counts.size() != part.run_ends.size() || part.term_runs.empty()) {
    raise(PyExc_ValueError, "a partition's arrays disagree in length");
  }
  return part;
}

PhraseTerm term_of(PyObject* tuple, const std::deque<PhrasePartition>& partitions) {
  tuple_of(tuple, 5, "a term");
  const std::int64_t partition = to_int(PyTuple_GET_ITEM(tuple, 0), "partition");
  const std::int64_t head = to_int(PyTuple_GET_ITEM(tuple, 1), "head_entry");
  const std::int64_t entries = to_int(PyTuple_GET_ITEM(tuple, 2), "entries");
  const std::int64_t term = to_int(PyTuple_GET_ITEM(tuple, 3), "term");
  const std::int64_t first_chunk = to_int(PyTuple_GET_ITEM(tuple, 4), "first_chunk");
  if (partition < 0 || static_cast<std::uint64_t>(partition) >= partitions.size())
    raise(PyExc_ValueError, "a term names no partition given");
  const PhrasePartition& part = partitions[static_cast<std::size_t>(partition)];
  if (head < 0 || entries < 1 || static_cast<std::uint64_t>(head + entries) > part.starts.size() ||
      term < 0 || static_cast<std::uint64_t>(term) + 1 >= part.term_runs.size() ||
      first_chunk < 0 || static_cast<std::uint64_t>(first_chunk) > part.chunk_first_docs.size() ||
      static_cast<std::uint64_t>(entries - 1) >
          part.chunk_first_docs.size() - static_cast<std::uint64_t>(first_chunk)) {
    raise(PyExc_ValueError, "a term's entries or positions lie outside its partition's tables");
  }
  return {&part, static_cast<std::size_t>(head), static_cast<std::size_t>(entries),
          static_cast<std::size_t>(term), static_cast<std::size_t>(first_chunk)};
}

std::vector<std::vector<std::size_t>> words_of(PyObject* words, std::size_t terms) {
  tuple_of(words, -1, "words");
  if (PyTuple_GET_SIZE(words) < 1) raise(PyExc_ValueError, "a phrase needs a word");
  std::vector<std::vector<std::size_t>> result;
  for (Py_ssize_t w = 0; w < PyTuple_GET_SIZE(words); ++w) {
    PyObject* word = tuple_of(PyTuple_GET_ITEM(words, w), -1, "a word");
    if (PyTuple_GET_SIZE(word) < 1) raise(PyExc_ValueError, "a word needs a term");
    std::vector<std::size_t>& into = result.emplace_back();
    for (Py_ssize_t t = 0; t < PyTuple_GET_SIZE(word); ++t) {
      const std::int64_t term = to_int(PyTuple_GET_ITEM(word, t), "a word's term");
      if (term < 0 || static_cast<std::uint64_t>(term) >= terms)
        raise(PyExc_ValueError, "a word names no term given");
      into.push_back(static_cast<std::size_t>(term));
    }
  }
  return result;
}

PyObject* phrase_postings_call(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5)
    raise(PyExc_TypeError,
          "phrase_postings() takes 5 arguments (partitions, terms, words, deleted, field)");
  std::deque<View> held;
  std::deque<PhrasePartition> partitions;
  PyObject* given = tuple_of(args[0], -1, "partitions");
  for (Py_ssize_t p = 0; p < PyTuple_GET_SIZE(given); ++p)
    partitions.push_back(partition_of(PyTuple_GET_ITEM(given, p), held));
  PhraseQuery query;
  PyObject* terms = tuple_of(args[1], -1, "terms");
  for (Py_ssize_t t = 0; t < PyTuple_GET_SIZE(terms); ++t)
    query.terms.push_back(term_of(PyTuple_GET_ITEM(terms, t), partitions));
  query.words = words_of(args[2], query.terms.size());
  if (args[3] != Py_None)
    query.deleted =
        held.emplace_back(args[3], "i", 4, false, "deleted").items<const std::int32_t>();
  const std::int64_t field = to_int(args[4], "field");
  if (field < 0 || field > 2)
    raise(PyExc_ValueError, "field must be 0 (both), 1 (title) or 2 (content)");
  query.field = static_cast<FieldFilter>(field);
  std::vector<Posting> found;
  {
    const WithoutGil detached;  // what follows reads only the views held
    found = phrase_postings(query);
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(found.data()),
                                   static_cast<Py_ssize_t>(found.size() * sizeof(Posting)));
}

std::vector<Posting> unpacked(PyObject* packed) {
  if (!PyBytes_Check(packed)) raise(PyExc_TypeError, "packed must be bytes");
  const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(packed));
  if (size % sizeof(Posting) != 0)
    raise(PyExc_ValueError, "packed must hold whole (doc_id, content, title) triples");
  std::vector<Posting> postings(size / sizeof(Posting));
  if (size != 0)
    std::memcpy(postings.data(), PyBytes_AS_STRING(packed), size);  // empty: data() may be null
  return postings;
}

PyObject* packed_top_k_call(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 8) {
    raise(PyExc_TypeError,
          "packed_top_k() takes 8 arguments (weight, packed, excluded, norms, k, floor, k1, "
          "title_weight)");
  }
  TermData term;
  term.weight = to_double(args[0], "weight");
  term.given_head = unpacked(args[1]);
  PyObject* excluded = args[2];
  if (excluded != Py_None && !PyAnySet_Check(excluded))
    raise(PyExc_TypeError, "excluded must be a set, a frozenset or None");
  const View norms(args[3], "d", 8, false, "norms");
  const std::int64_t k = to_int(args[4], "k");
  if (k < 0) raise(PyExc_ValueError, "k must not be negative");
  const double floor = to_double(args[5], "floor");
  const double k1 = to_double(args[6], "k1");
  const std::int64_t title_weight = to_int(args[7], "title_weight");
  if (title_weight < -(std::int64_t{1} << 31) || title_weight > (std::int64_t{1} << 31))
    raise(PyExc_OverflowError, "title_weight is out of range");
  term.doc_begin = 0;
  term.doc_end = static_cast<std::int64_t>(norms.items<const double>().size());
  const Excluded is_excluded = [excluded](std::int32_t doc) {
    if (excluded == Py_None) return false;
    PyRef key = PyRef::steal(PyLong_FromLong(doc));
    if (!key) throw PythonError{};
    const int found = PySet_Contains(excluded, key.get());
    if (found < 0) throw PythonError{};
    return found == 1;
  };
  const Evaluation evaluation =
      evaluate(Shape::one_term, std::span<const TermData>(&term, 1), norms.items<const double>(),
               Ranking{k1 + 1.0, title_weight}, static_cast<std::size_t>(k), floor, is_excluded);
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

}  // namespace

PyObject* py_phrase_postings(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<phrase_postings_call>(nullptr, args, nargs);
}

PyObject* py_packed_top_k(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<packed_top_k_call>(nullptr, args, nargs);
}

}  // namespace minisearch::kernels
