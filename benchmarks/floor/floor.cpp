// Native floor kernels for the benchmark suite: the unavoidable work of each quorbel function,
// written as plainly as possible (no argument binding beyond positions, no error values, no
// buffering policy of its own), so that quorbel's time can be read as a multiple of it.
//
// Built by benchmarks/build_floor.py with the compiler flags of quorbel's release build; never
// installed. Each kernel trusts its input (the benchmark passes well-formed workloads) and checks
// only what it needs to stay memory-safe.
#include <Python.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

struct Posting {
  std::int32_t doc_id;
  std::int32_t content_freq;
  std::int32_t title_freq;
};

// The packed sort key (k1, k2, k3, doc_id) under title weight W, compared as unsigned words.
template <std::uint32_t W>
struct Key {
  std::uint64_t high, low;
  static Key of(const Posting& p) {
    constexpr std::uint32_t s = 0x8000'0000u;
    const auto c = static_cast<std::uint32_t>(p.content_freq);
    const auto t = static_cast<std::uint32_t>(p.title_freq);
    const std::uint32_t score = c + W * t;
    return {(std::uint64_t{(0u - score) ^ s} << 32) | ((0u - c) ^ s),
            (std::uint64_t{(0u - t) ^ s} << 32) | (static_cast<std::uint32_t>(p.doc_id) ^ s)};
  }
  friend bool operator<(const Key& a, const Key& b) {
    return a.high != b.high ? a.high < b.high : a.low < b.low;
  }
};

template <std::uint32_t W>
void std_sort(std::vector<Posting>& v) {
  std::sort(v.begin(), v.end(),
            [](const Posting& a, const Posting& b) { return Key<W>::of(a) < Key<W>::of(b); });
}

inline std::uint8_t* put_varint(std::uint64_t v, std::uint8_t* out) {
  while (v >= 0x80) {
    *out++ = static_cast<std::uint8_t>(v | 0x80);
    v >>= 7;
  }
  *out++ = static_cast<std::uint8_t>(v);
  return out;
}

inline std::uint64_t widen(std::int32_t v) {
  return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
}

// Scalar LEB128 decode of one varint; `p` must point at a complete varint inside [p, end).
inline std::uint64_t get_varint(const std::uint8_t*& p, const std::uint8_t* end) {
  std::uint64_t v = 0;
  for (unsigned shift = 0; p < end && shift < 64; shift += 7) {
    const std::uint8_t b = *p++;
    v |= std::uint64_t{b & 0x7fu} << shift;
    if ((b & 0x80) == 0) break;
  }
  return v;
}

void decode_into(const std::uint8_t* p, const std::uint8_t* end, std::vector<Posting>& out) {
  std::int32_t previous = 0;
  while (p < end) {
    const auto delta = static_cast<std::uint32_t>(get_varint(p, end));
    const auto c = static_cast<std::int32_t>(get_varint(p, end));
    const auto t = static_cast<std::int32_t>(get_varint(p, end));
    previous = static_cast<std::int32_t>(static_cast<std::uint32_t>(previous) + delta);
    out.push_back({previous, c, t});
  }
}

std::size_t encode_into(const std::vector<Posting>& v, std::uint8_t* out) {
  std::uint8_t* cursor = out;
  std::int32_t previous = 0;
  for (const Posting& p : v) {
    cursor = put_varint(widen(static_cast<std::int32_t>(static_cast<std::uint32_t>(p.doc_id) -
                                                        static_cast<std::uint32_t>(previous))),
                        cursor);
    cursor = put_varint(widen(p.content_freq), cursor);
    cursor = put_varint(widen(p.title_freq), cursor);
    previous = p.doc_id;
  }
  return static_cast<std::size_t>(cursor - out);
}

PyObject* bytes_of(const std::vector<Posting>& v) {
  std::vector<std::uint8_t> out(v.size() * 30);
  const std::size_t n = encode_into(v, out.data());
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                   static_cast<Py_ssize_t>(n));
}

PyObject* tuples_of(const std::vector<Posting>& v) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < v.size(); ++i) {
    PyObject* t = PyTuple_New(3);
    if (t == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, 0, PyLong_FromLong(v[i].doc_id));
    PyTuple_SET_ITEM(t, 1, PyLong_FromLong(v[i].content_freq));
    PyTuple_SET_ITEM(t, 2, PyLong_FromLong(v[i].title_freq));
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), t);
  }
  return list;
}

// Reads a list (or tuple) of 3-tuples of ints into native postings. False with an exception set.
bool read_postings(PyObject* seq, std::vector<Posting>& out) {
  PyObject* fast = PySequence_Fast(seq, "postings must be a sequence");
  if (fast == nullptr) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  PyObject** items = PySequence_Fast_ITEMS(fast);
  out.reserve(out.size() + static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* t = items[i];
    if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 3) {
      Py_DECREF(fast);
      PyErr_SetString(PyExc_TypeError, "posting must be a 3-tuple");
      return false;
    }
    long f[3];
    for (int k = 0; k < 3; ++k) {
      f[k] = PyLong_AsLong(PyTuple_GET_ITEM(t, k));
      if (f[k] == -1 && PyErr_Occurred()) {
        Py_DECREF(fast);
        return false;
      }
      if (f[k] < INT32_MIN || f[k] > INT32_MAX) {
        Py_DECREF(fast);
        PyErr_SetString(PyExc_OverflowError, "out of range");
        return false;
      }
    }
    out.push_back({static_cast<std::int32_t>(f[0]), static_cast<std::int32_t>(f[1]),
                   static_cast<std::int32_t>(f[2])});
  }
  Py_DECREF(fast);
  return true;
}

// --- posting lists --------------------------------------------------------------------------

// encode(postings, sort): 0 = as given, 1 = std::sort by the ranking key.
PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) return PyErr_Format(PyExc_TypeError, "encode(postings, sort)");
  std::vector<Posting> v;
  if (!read_postings(args[0], v)) return nullptr;
  if (PyObject_IsTrue(args[1])) std_sort<1>(v);
  return bytes_of(v);
}

// decode(data): scalar LEB128 decode into a native vector, then the list of tuples.
PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1 || !PyBytes_Check(args[0])) return PyErr_Format(PyExc_TypeError, "decode(bytes)");
  const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(args[0]));
  const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(args[0]));
  std::vector<Posting> v;
  v.reserve(n / 3);
  decode_into(p, p + n, v);
  return tuples_of(v);
}

// merge(items): decode every item into one pool, std::sort by the merge key, encode.
PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1 || !PyList_Check(args[0])) return PyErr_Format(PyExc_TypeError, "merge(list)");
  PyObject* list = args[0];
  std::size_t total = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (!PyBytes_Check(item)) return PyErr_Format(PyExc_TypeError, "items must be bytes");
    total += static_cast<std::size_t>(PyBytes_GET_SIZE(item));
  }
  std::vector<Posting> pool;
  pool.reserve(total / 3);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    const auto* p = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(item));
    decode_into(p, p + PyBytes_GET_SIZE(item), pool);
  }
  std_sort<4>(pool);
  return bytes_of(pool);
}

// read_only(postings): only reads the argument objects into native values; returns None.
PyObject* read_only(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) return PyErr_Format(PyExc_TypeError, "read_only(postings)");
  std::vector<Posting> v;
  if (!read_postings(args[0], v)) return nullptr;
  Py_RETURN_NONE;
}

// --- varints --------------------------------------------------------------------------------

PyObject* encode_varint(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) return PyErr_Format(PyExc_TypeError, "encode_varint(n)");
  const long n = PyLong_AsLong(args[0]);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (n < 0) return PyErr_Format(PyExc_ValueError, "negative");
  std::uint8_t buf[10];
  std::uint8_t* end = put_varint(static_cast<std::uint64_t>(n), buf);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf), end - buf);
}

PyObject* g_text_io_base = nullptr;
PyObject* g_read = nullptr;
PyObject* g_one = nullptr;

// read_varint(f): the text-stream check, then f.read(1) per byte until a byte without bit 7.
PyObject* read_varint(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) return PyErr_Format(PyExc_TypeError, "read_varint(f)");
  PyObject* f = args[0];
  const int text = PyObject_IsInstance(f, g_text_io_base);
  if (text < 0) return nullptr;
  if (text) return PyErr_Format(PyExc_OSError, "text stream");
  std::uint64_t result = 0;
  for (unsigned shift = 0; shift <= 28; shift += 7) {
    PyObject* chunk = PyObject_CallMethodOneArg(f, g_read, g_one);
    if (chunk == nullptr) return nullptr;
    if (!PyBytes_Check(chunk)) {
      Py_DECREF(chunk);
      return PyErr_Format(PyExc_OSError, "not bytes");
    }
    if (PyBytes_GET_SIZE(chunk) == 0) {
      Py_DECREF(chunk);
      Py_RETURN_NONE;
    }
    const auto byte = static_cast<std::uint8_t>(PyBytes_AS_STRING(chunk)[0]);
    Py_DECREF(chunk);
    result |= std::uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) return PyLong_FromUnsignedLongLong(result);
  }
  return PyErr_Format(PyExc_ValueError, "Invalid varint encoding");
}

// --- block files ----------------------------------------------------------------------------

constexpr std::size_t kBuffer = 8192;

struct Writer {
  int fd;
  std::size_t used = 0;
  std::uint8_t buf[kBuffer];
  void flush() {
    std::size_t done = 0;
    while (done < used) {
      const ssize_t n = ::write(fd, buf + done, used - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    used = 0;
  }
  void put(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    if (n >= kBuffer) {
      flush();
      std::size_t done = 0;
      while (done < n) {
        const ssize_t w = ::write(fd, p + done, n - done);
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
      }
      return;
    }
    if (n > kBuffer - used) flush();
    std::memcpy(buf + used, p, n);
    used += n;
  }
};

// write_block(terms, doc_freqs, postings, path): read every argument into native values, then
// one 8 KiB-buffered sequential write of the same bytes.
PyObject* write_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4)
    return PyErr_Format(PyExc_TypeError, "write_block(terms, doc_freqs, postings, path)");
  PyObject* terms = PySequence_Fast(args[0], "terms");
  if (terms == nullptr) return nullptr;
  PyObject* freqs = PySequence_Fast(args[1], "doc_freqs");
  PyObject* lists = freqs ? PySequence_Fast(args[2], "postings") : nullptr;
  auto done = [&](PyObject* r) {
    Py_DECREF(terms);
    Py_XDECREF(freqs);
    Py_XDECREF(lists);
    return r;
  };
  if (lists == nullptr) return done(nullptr);
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(terms);
  if (PySequence_Fast_GET_SIZE(freqs) != n || PySequence_Fast_GET_SIZE(lists) != n) {
    return done(PyErr_Format(PyExc_ValueError, "lengths differ"));
  }
  struct Term {
    const char* text;
    Py_ssize_t size;
    std::uint64_t content, title;
  };
  std::vector<Term> native_terms(static_cast<std::size_t>(n));
  std::vector<std::vector<Posting>> native_lists(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Term& t = native_terms[static_cast<std::size_t>(i)];
    t.text = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(terms, i), &t.size);
    if (t.text == nullptr) return done(nullptr);
    PyObject* pair = PySequence_Fast_GET_ITEM(freqs, i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      return done(PyErr_Format(PyExc_TypeError, "doc_freqs item"));
    }
    t.content = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(pair, 0));
    t.title = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(pair, 1));
    if (PyErr_Occurred()) return done(nullptr);
    if (!read_postings(PySequence_Fast_GET_ITEM(lists, i),
                       native_lists[static_cast<std::size_t>(i)])) {
      return done(nullptr);
    }
  }
  const char* path = PyUnicode_AsUTF8(args[3]);
  if (path == nullptr) return done(nullptr);
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return done(PyErr_SetFromErrno(PyExc_OSError));
  Writer w{fd};
  const std::uint64_t count = static_cast<std::uint64_t>(n);
  w.put(&count, 8);
  std::vector<std::uint8_t> posting_bytes;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Term& t = native_terms[static_cast<std::size_t>(i)];
    const auto& v = native_lists[static_cast<std::size_t>(i)];
    posting_bytes.resize(v.size() * 30);
    posting_bytes.resize(encode_into(v, posting_bytes.data()));
    const auto length = static_cast<std::uint32_t>(t.size);
    std::uint8_t group[30];
    std::uint8_t* end = put_varint(t.content, group);
    end = put_varint(t.title, end);
    end = put_varint(posting_bytes.size(), end);
    w.put(&length, 4);
    w.put(t.text, static_cast<std::size_t>(t.size));
    w.put(group, static_cast<std::size_t>(end - group));
    w.put(posting_bytes.data(), posting_bytes.size());
  }
  w.flush();
  ::close(fd);
  return done(Py_NewRef(Py_None));
}

// Reads one entry at `p` (complete inside [p, end)); returns the entry tuple, or nullptr.
PyObject* entry_tuple(const std::uint8_t*& p, const std::uint8_t* end, std::uint64_t* next) {
  std::uint32_t length;
  std::memcpy(&length, p, 4);
  const std::uint8_t* start = p;
  p += 4;
  PyObject* term = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), length, "strict");
  if (term == nullptr) return nullptr;
  p += length;
  const std::uint64_t content = get_varint(p, end);
  const std::uint64_t title = get_varint(p, end);
  const std::uint64_t size = get_varint(p, end);
  std::vector<Posting> v;
  v.reserve(size / 3);
  decode_into(p, p + size, v);
  p += size;
  PyObject* t = PyTuple_New(next ? 5 : 4);
  PyTuple_SET_ITEM(t, 0, term);
  PyTuple_SET_ITEM(t, 1, PyLong_FromUnsignedLongLong(content));
  PyTuple_SET_ITEM(t, 2, PyLong_FromUnsignedLongLong(title));
  PyTuple_SET_ITEM(t, 3, tuples_of(v));
  if (next) PyTuple_SET_ITEM(t, 4, PyLong_FromUnsignedLongLong(*next + (p - start)));
  return t;
}

// iter_block(path): read the file front to back in 8 KiB reads, then build every entry tuple.
PyObject* iter_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) return PyErr_Format(PyExc_TypeError, "iter_block(path)");
  const char* path = PyUnicode_AsUTF8(args[0]);
  if (path == nullptr) return nullptr;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
  struct stat st;
  ::fstat(fd, &st);
  std::vector<std::uint8_t> data(static_cast<std::size_t>(st.st_size));
  std::size_t have = 0;
  while (have < data.size()) {
    const ssize_t n = ::read(fd, data.data() + have, std::min(kBuffer, data.size() - have));
    if (n <= 0) break;
    have += static_cast<std::size_t>(n);
  }
  ::close(fd);
  std::uint64_t count;
  std::memcpy(&count, data.data(), 8);
  const std::uint8_t* p = data.data() + 8;
  const std::uint8_t* end = data.data() + have;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), entry_tuple(p, end, nullptr));
  }
  return list;
}

// read_term(path, offset): open, lseek, one 8 KiB read (more when the entry is longer), close,
// then the 5-tuple.
PyObject* read_term(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) return PyErr_Format(PyExc_TypeError, "read_term(path, offset)");
  const char* path = PyUnicode_AsUTF8(args[0]);
  if (path == nullptr) return nullptr;
  std::uint64_t offset = PyLong_AsUnsignedLongLong(args[1]);
  if (PyErr_Occurred()) return nullptr;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
  ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
  std::uint8_t buf[kBuffer];
  ssize_t got = ::read(fd, buf, kBuffer);
  if (got < 4) {
    ::close(fd);
    Py_RETURN_NONE;
  }
  // Work out the entry's length from its head; read the rest of a long entry in one more call.
  const std::uint8_t* p = buf;
  const std::uint8_t* end = buf + got;
  std::uint32_t length;
  std::memcpy(&length, p, 4);
  const std::uint8_t* q = p + 4 + length;
  std::uint64_t sizes[3];
  for (auto& s : sizes) s = get_varint(q, end);
  const std::size_t total = static_cast<std::size_t>(q - p) + sizes[2];
  PyObject* result;
  if (total <= static_cast<std::size_t>(got)) {
    result = entry_tuple(p, end, &offset);
  } else {
    std::vector<std::uint8_t> whole(total);
    std::memcpy(whole.data(), buf, static_cast<std::size_t>(got));
    std::size_t have = static_cast<std::size_t>(got);
    while (have < total) {
      const ssize_t n = ::read(fd, whole.data() + have, total - have);
      if (n <= 0) break;
      have += static_cast<std::size_t>(n);
    }
    const std::uint8_t* w = whole.data();
    result = entry_tuple(w, whole.data() + have, &offset);
  }
  ::close(fd);
  return result;
}

// block_stats(path): open, fstat, read 8 bytes, close.
PyObject* block_stats(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 1) return PyErr_Format(PyExc_TypeError, "block_stats(path)");
  const char* path = PyUnicode_AsUTF8(args[0]);
  if (path == nullptr) return nullptr;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
  struct stat st;
  ::fstat(fd, &st);
  std::uint64_t count = 0;
  if (::read(fd, &count, 8) != 8) count = 0;
  ::close(fd);
  PyObject* t = PyTuple_New(2);
  PyTuple_SET_ITEM(t, 0, PyLong_FromUnsignedLongLong(count));
  PyTuple_SET_ITEM(t, 1, PyLong_FromUnsignedLongLong(static_cast<std::uint64_t>(st.st_size)));
  return t;
}

// syscalls(path, offset, nbytes): open + lseek + read(nbytes) + close, nothing else.
PyObject* syscalls(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) return PyErr_Format(PyExc_TypeError, "syscalls(path, offset, nbytes)");
  const char* path = PyUnicode_AsUTF8(args[0]);
  if (path == nullptr) return nullptr;
  const long offset = PyLong_AsLong(args[1]);
  const long nbytes = std::min(PyLong_AsLong(args[2]), static_cast<long>(kBuffer));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
  ::lseek(fd, offset, SEEK_SET);
  std::uint8_t buf[kBuffer];
  (void)::read(fd, buf, static_cast<std::size_t>(nbytes));
  ::close(fd);
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"encode", reinterpret_cast<PyCFunction>(encode), METH_FASTCALL, nullptr},
    {"decode", reinterpret_cast<PyCFunction>(decode), METH_FASTCALL, nullptr},
    {"merge", reinterpret_cast<PyCFunction>(merge), METH_FASTCALL, nullptr},
    {"read_only", reinterpret_cast<PyCFunction>(read_only), METH_FASTCALL, nullptr},
    {"encode_varint", reinterpret_cast<PyCFunction>(encode_varint), METH_FASTCALL, nullptr},
    {"read_varint", reinterpret_cast<PyCFunction>(read_varint), METH_FASTCALL, nullptr},
    {"write_block", reinterpret_cast<PyCFunction>(write_block), METH_FASTCALL, nullptr},
    {"iter_block", reinterpret_cast<PyCFunction>(iter_block), METH_FASTCALL, nullptr},
    {"read_term", reinterpret_cast<PyCFunction>(read_term), METH_FASTCALL, nullptr},
    {"block_stats", reinterpret_cast<PyCFunction>(block_stats), METH_FASTCALL, nullptr},
    {"syscalls", reinterpret_cast<PyCFunction>(syscalls), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "_quorbel_floor", nullptr, -1, kMethods};

}  // namespace

PyMODINIT_FUNC PyInit__quorbel_floor() {
  PyObject* io = PyImport_ImportModule("io");
  if (io == nullptr) return nullptr;
  g_text_io_base = PyObject_GetAttrString(io, "TextIOBase");
  Py_DECREF(io);
  g_read = PyUnicode_InternFromString("read");
  g_one = PyLong_FromLong(1);
  if (g_text_io_base == nullptr || g_read == nullptr || g_one == nullptr) return nullptr;
  return PyModule_Create(&kModule);
}
