// build_block(titles, contents, first_doc, partitions, positions, max_length, rule, zlib) and
// merge_blocks(...): the Python faces of BlockBuilder (build_block.h) and PartitionMerger
// (build_merge.h).
#include "build_binding.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arguments.h"
#include "binding/py_ref.h"
#include "build_block.h"
#include "build_merge.h"
#include "build_zlib.h"
#include "field_text.h"
#include "gil.h"
#include "guarded.h"
#include "held_buffer.h"

namespace minisearch::kernels {
namespace {

using quorbel::binding::PyRef;

// A Compressor that calls a Python function of one bytes argument returning bytes.
Compressor compressor_of(PyObject* function) {
  return [function](std::span<const std::uint8_t> data) {
    PyRef argument = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                                       static_cast<Py_ssize_t>(data.size())));
    PyRef result = checked(PyObject_CallOneArg(function, argument.get()));
    if (!PyBytes_Check(result.get())) raise(PyExc_TypeError, "a compressor must return bytes");
    return std::string(PyBytes_AS_STRING(result.get()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(result.get())));
  };
}

// The deflate stream of a positions file's index: (zlib.ZLIB_RUNTIME_VERSION, compress_index, its
// level), made in process when the kernels carry that zlib (build_zlib.h).
struct Compressors {
  std::unique_ptr<Deflater> index_deflater;
  Compressor index;
};

Compressors compressors_of(PyObject* zlib) {
  if (!PyTuple_CheckExact(zlib) || PyTuple_GET_SIZE(zlib) != 3)
    raise(PyExc_TypeError, "zlib must be (version, compress, level)");
  PyObject* version = PyTuple_GET_ITEM(zlib, 0);
  if (!PyUnicode_Check(version)) raise(PyExc_TypeError, "the zlib version must be str");
  const std::int64_t level = to_int(PyTuple_GET_ITEM(zlib, 2), "the index's level");
  if (level < 0 || level > 9) raise(PyExc_ValueError, "the index's level must be 0 to 9");
  Compressors made;
  made.index = compressor_of(PyTuple_GET_ITEM(zlib, 1));
  made.index_deflater = Deflater::make(utf8_of(version), static_cast<int>(level));
  if (Deflater* deflater = made.index_deflater.get(); deflater != nullptr)
    made.index = [deflater](std::span<const std::uint8_t> data) { return deflater->deflate(data); };
  return made;
}

// The texts of a block, read under the GIL; `held` keeps every str alive until the block is built.
struct BlockTexts {
  PyRef held_titles, held_contents;
  std::vector<FieldText> titles, contents;
};

BlockTexts block_texts(PyObject* titles, PyObject* contents, const TokenRule& rule) {
  BlockTexts texts{checked(PySequence_Tuple(titles)), checked(PySequence_Tuple(contents)), {}, {}};
  const Py_ssize_t documents = PyTuple_GET_SIZE(texts.held_titles.get());
  texts.titles.reserve(static_cast<std::size_t>(documents));
  texts.contents.reserve(static_cast<std::size_t>(documents));
  for (Py_ssize_t i = 0; i < documents; ++i) {
    texts.titles.push_back(field_text(PyTuple_GET_ITEM(texts.held_titles.get(), i), rule));
    texts.contents.push_back(field_text(PyTuple_GET_ITEM(texts.held_contents.get(), i), rule));
  }
  return texts;
}

PyRef partition_files(const std::vector<PartitionFiles>& files, bool positions) {
  PyRef partition_list = checked(PyList_New(static_cast<Py_ssize_t>(files.size())));
  for (std::size_t p = 0; p < files.size(); ++p) {
    const PartitionFiles& file = files[p];
    PyRef postings = checked(PyBytes_FromStringAndSize(
        file.postings.data(), static_cast<Py_ssize_t>(file.postings.size())));
    PyRef where = positions
                      ? checked(PyBytes_FromStringAndSize(
                            file.positions.data(), static_cast<Py_ssize_t>(file.positions.size())))
                      : PyRef::borrow(Py_None);
    PyObject* entry =
        Py_BuildValue("(nOO)", static_cast<Py_ssize_t>(file.terms), postings.get(), where.get());
    if (entry == nullptr) throw PythonError{};
    PyList_SET_ITEM(partition_list.get(), static_cast<Py_ssize_t>(p), entry);
  }
  return partition_list;
}

// The block's documents counted and its files made, without the GIL when the compressor is the
// kernels' own (a Python compressor is called with it held).
std::vector<PartitionFiles> built_files(BlockBuilder& builder, const BlockTexts& texts,
                                        std::size_t max_length, std::size_t partitions,
                                        const Compressors& compressors,
                                        std::vector<std::uint32_t>& lengths) {
  std::optional<WithoutGil> detached;
  if (compressors.index_deflater) detached.emplace();
  std::vector<std::uint32_t> title_ids, content_ids;
  for (std::size_t i = 0; i < texts.titles.size(); ++i) {
    field_terms(texts.titles[i], max_length, builder.terms(), title_ids);
    field_terms(texts.contents[i], max_length, builder.terms(), content_ids);
    builder.add_document(title_ids, content_ids);
    lengths.push_back(static_cast<std::uint32_t>(title_ids.size() + content_ids.size()));
  }
  return builder.finish(partitions, compressors.index);
}

PyObject* build_block(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 8) raise(PyExc_TypeError, "build_block takes 8 arguments");
  PyObject* titles = args[0];
  PyObject* contents = args[1];
  if (!PyList_CheckExact(titles) || !PyList_CheckExact(contents) ||
      PyList_GET_SIZE(titles) != PyList_GET_SIZE(contents))
    raise(PyExc_TypeError, "titles and contents must be lists of one length");
  const std::int64_t first_doc = to_int(args[2], "first_doc");
  const std::int64_t partitions = to_int(args[3], "partitions");
  const int positions = PyObject_IsTrue(args[4]);
  if (positions < 0) throw PythonError{};
  const std::int64_t max_length = to_int(args[5], "max_length");
  const Py_ssize_t documents = PyList_GET_SIZE(titles);
  if (first_doc < 0 || first_doc + documents > INT32_MAX)
    raise(PyExc_OverflowError, "document ids must fit in 31 bits");
  if (partitions < 1 || partitions > 1 << 20) raise(PyExc_ValueError, "partitions out of range");
  if (max_length < 0) raise(PyExc_ValueError, "max_length must not be negative");

  const BlockTexts texts = block_texts(titles, contents, token_rule(args[6]));
  const Compressors compressors = compressors_of(args[7]);
  BlockBuilder builder(static_cast<std::int32_t>(first_doc), positions != 0);
  std::vector<std::uint32_t> lengths;
  lengths.reserve(texts.titles.size());
  const std::vector<PartitionFiles> files =
      built_files(builder, texts, static_cast<std::size_t>(max_length),
                  static_cast<std::size_t>(partitions), compressors, lengths);
  PyRef partition_list = partition_files(files, positions != 0);
  PyRef length_bytes = checked(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(lengths.data()),
                                static_cast<Py_ssize_t>(lengths.size() * sizeof(std::uint32_t))));
  return Py_BuildValue("(OnO)", length_bytes.get(), static_cast<Py_ssize_t>(builder.postings()),
                       partition_list.get());
}

// count_documents(titles, contents, max_length, rule): per term, how many documents hold it.
PyObject* count_documents(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) raise(PyExc_TypeError, "count_documents takes 4 arguments");
  PyObject* titles = args[0];
  PyObject* contents = args[1];
  if (!PyList_CheckExact(titles) || !PyList_CheckExact(contents) ||
      PyList_GET_SIZE(titles) != PyList_GET_SIZE(contents))
    raise(PyExc_TypeError, "titles and contents must be lists of one length");
  const std::int64_t max_length = to_int(args[2], "max_length");
  if (max_length < 0) raise(PyExc_ValueError, "max_length must not be negative");
  BlockBuilder builder(0, false);
  std::vector<std::uint32_t> title_ids, content_ids;
  const TokenRule rule = token_rule(args[3]);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(titles); ++i) {
    field_terms(field_text(PyList_GET_ITEM(titles, i), rule), static_cast<std::size_t>(max_length),
                builder.terms(), title_ids);
    field_terms(field_text(PyList_GET_ITEM(contents, i), rule),
                static_cast<std::size_t>(max_length), builder.terms(), content_ids);
    builder.add_document(title_ids, content_ids);
  }
  return term_counts(builder).release();
}

}  // namespace

PyObject* py_count_documents(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<count_documents>(nullptr, args, nargs);
}

PyObject* py_build_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded<build_block>(nullptr, args, nargs);
}

}  // namespace minisearch::kernels

namespace minisearch::kernels {
namespace {

quorbel::ByteSpan bytes_of(PyObject* object) {
  if (!PyBytes_Check(object)) raise(PyExc_TypeError, "a file's contents must be bytes");
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
          static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
}

// A file opened for writing, closed on the way out.
class OutputFile {
 public:
  explicit OutputFile(PyObject* path) : path_(path) {
    const char* name = PyUnicode_Check(path) ? PyUnicode_AsUTF8(path) : nullptr;
    if (name == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a path must be str");
      throw PythonError{};
    }
    file_ = std::fopen(name, "wb");
    if (file_ == nullptr) fail(errno);
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
  }
  std::FILE* get() const noexcept { return file_; }
  void close() {
    const int closed = std::fclose(std::exchange(file_, nullptr));
    if (closed != 0) fail(errno);
  }
  [[noreturn]] void fail(int error) const {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_);
    throw PythonError{};
  }

 private:
  PyObject* path_;
  std::FILE* file_ = nullptr;
};

template <class T>
PyRef bytes_from(const std::vector<T>& values) {
  return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                           static_cast<Py_ssize_t>(values.size() * sizeof(T))));
}

PyRef merged_result(const MergedTable& table, std::uint64_t positions_size, bool positions) {
  PyRef terms = checked(PyList_New(static_cast<Py_ssize_t>(table.terms.size())));
  for (std::size_t i = 0; i < table.terms.size(); ++i) {
    PyObject* term = PyUnicode_DecodeUTF8(table.terms[i].data(),
                                          static_cast<Py_ssize_t>(table.terms[i].size()), "strict");
    if (term == nullptr) throw PythonError{};
    PyList_SET_ITEM(terms.get(), static_cast<Py_ssize_t>(i), term);
  }
  PyRef columns[] = {bytes_from(table.gaps),
                     bytes_from(table.sizes),
                     bytes_from(table.doc_freq),
                     bytes_from(table.chunk_count),
                     bytes_from(table.chunk_first_doc),
                     bytes_from(table.chunk_max_f),
                     bytes_from(table.chunk_min_length),
                     bytes_from(table.chunk_impact),
                     bytes_from(table.crcs)};
  PyRef column_tuple = checked(PyTuple_New(std::size(columns)));
  for (std::size_t i = 0; i < std::size(columns); ++i)
    PyTuple_SET_ITEM(column_tuple.get(), static_cast<Py_ssize_t>(i), columns[i].release());
  PyRef where =
      positions ? checked(PyLong_FromUnsignedLongLong(positions_size)) : PyRef::borrow(Py_None);
  return checked(Py_BuildValue("(OOKKO)", terms.get(), column_tuple.get(),
                               static_cast<unsigned long long>(table.postings),
                               static_cast<unsigned long long>(table.file_size), where.get()));
}

// merge_blocks(inputs, read, norms, lengths, settings, postings_path, positions_path, zlib)
PyObject* merge_blocks(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 8) raise(PyExc_TypeError, "merge_blocks takes 8 arguments");
  PyObject* inputs = args[0];
  PyObject* read = args[1];
  if (!PyList_CheckExact(inputs)) raise(PyExc_TypeError, "inputs must be a list");
  const HeldBuffer norms(args[2], "d", sizeof(double), "norms must be an array('d')");
  const HeldBuffer lengths(args[3], "I", sizeof(std::uint32_t), "lengths must be an array('I')");
  PyObject* settings_tuple = args[4];
  if (!PyTuple_CheckExact(settings_tuple) || PyTuple_GET_SIZE(settings_tuple) != 6)
    raise(PyExc_TypeError, "settings must be a tuple of 6");
  MergeSettings settings;
  const std::int64_t first_doc = to_int(PyTuple_GET_ITEM(settings_tuple, 0), "first_doc");
  const std::int64_t head_size = to_int(PyTuple_GET_ITEM(settings_tuple, 1), "head_size");
  const std::int64_t divisor = to_int(PyTuple_GET_ITEM(settings_tuple, 2), "head_divisor");
  const std::int64_t chunk_size = to_int(PyTuple_GET_ITEM(settings_tuple, 3), "chunk_size");
  settings.k1 = PyFloat_AsDouble(PyTuple_GET_ITEM(settings_tuple, 4));
  if (settings.k1 == -1.0 && PyErr_Occurred()) throw PythonError{};
  settings.title_weight = to_int(PyTuple_GET_ITEM(settings_tuple, 5), "title_weight");
  if (first_doc < 0 || first_doc > INT32_MAX || head_size < 0 || divisor < 1 || chunk_size < 1 ||
      settings.title_weight < 0)
    raise(PyExc_ValueError, "merge settings out of range");
  settings.first_doc = static_cast<std::int32_t>(first_doc);
  settings.head_size = static_cast<std::size_t>(head_size);
  settings.head_divisor = static_cast<std::size_t>(divisor);
  settings.chunk_size = static_cast<std::size_t>(chunk_size);
  const bool positions = args[6] != Py_None;

  PartitionMerger merger;
  std::vector<PyRef> kept;  // the positions files, copied from when they are written
  const Py_ssize_t count = PyList_GET_SIZE(inputs);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* input = PyList_GET_ITEM(inputs, i);
    PyRef contents = checked(PyObject_CallOneArg(read, input));
    if (!PyTuple_CheckExact(contents.get()) || PyTuple_GET_SIZE(contents.get()) != 4)
      raise(PyExc_TypeError, "read must return (block, terms, positions, index)");
    PyObject* const* fields = &PyTuple_GET_ITEM(contents.get(), 0);
    const quorbel::ByteSpan block = bytes_of(fields[0]);
    const auto terms = static_cast<std::size_t>(to_int(fields[1], "a term count"));
    const quorbel::ByteSpan positions_file = positions ? bytes_of(fields[2]) : quorbel::ByteSpan{};
    const quorbel::ByteSpan positions_index = positions ? bytes_of(fields[3]) : quorbel::ByteSpan{};
    {
      // Decoding a block's lists is most of a merge's reading: the other merges and the work
      // beside them have the interpreter meanwhile.
      const WithoutGil detached;
      merger.add_block(block, terms);
      if (positions) merger.add_positions(positions_file, positions_index);
    }
    if (positions) kept.push_back(std::move(contents));
  }
  OutputFile postings_file(args[5]);
  std::optional<OutputFile> positions_file;
  std::optional<Compressors> compressors;
  if (positions) {
    positions_file.emplace(args[6]);
    compressors.emplace(compressors_of(args[7]));
  }
  std::uint64_t positions_size = 0;
  const MergedTable table = [&] {
    // The merge reads only the blocks, norms and lengths held; a Python compressor needs the GIL.
    std::optional<WithoutGil> detached;
    if (!compressors || compressors->index_deflater) detached.emplace();
    MergedTable merged = merger.write_postings(postings_file.get(), norms.items<double>(),
                                               lengths.items<std::uint32_t>(), settings);
    if (positions_file)
      positions_size = merger.write_positions(positions_file->get(), compressors->index);
    return merged;
  }();
  postings_file.close();
  if (positions_file) positions_file->close();
  return merged_result(table, positions_size, positions).release();
}

}  // namespace

PyObject* py_merge_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  try {
    return merge_blocks(args, nargs);
  } catch (const PythonError&) {
  } catch (const DamagedInput& error) {
    const Py_ssize_t input =
        error.input == DamagedInput::kWhole ? -1 : static_cast<Py_ssize_t>(error.input);
    PyObject* detail = Py_BuildValue("(ns)", input, error.what());
    PyObject* raised = detail != nullptr ? PyObject_CallOneArg(PyExc_ValueError, detail) : nullptr;
    Py_XDECREF(detail);
    if (raised != nullptr) {
      PyErr_SetObject(PyExc_ValueError, raised);
      Py_DECREF(raised);
    }
  } catch (const WriteFailed& failure) {
    errno = failure.error;
    PyErr_SetFromErrno(PyExc_OSError);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

}  // namespace minisearch::kernels
