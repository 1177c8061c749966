// The index at the end of a positions file (minisearch.positions): per term its first run, per
// run the postings before its end (counted within its term) and its end in the file. Free of the
// Python API.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace minisearch::kernels {

struct PositionsIndex {
  std::vector<std::uint32_t> term_runs{0};  // each term's first run, then the end
  std::vector<std::uint32_t> run_counts;
  std::vector<std::uint64_t> run_ends;

  // The index's bytes before they are compressed: <I terms, runs, then the three arrays.
  std::string payload() const {
    std::string out;
    out.reserve(8 + 4 * (term_runs.size() + run_counts.size()) + 8 * run_ends.size());
    append(out, std::vector<std::uint32_t>{static_cast<std::uint32_t>(term_runs.size() - 1),
                                           static_cast<std::uint32_t>(run_ends.size())});
    append(out, term_runs);
    append(out, run_counts);
    append(out, run_ends);
    return out;
  }

 private:
  // Little-endian words, copied whole on a little-endian machine.
  template <class T>
  static void append(std::string& out, const std::vector<T>& values) {
    if constexpr (std::endian::native == std::endian::little) {
      const std::size_t at = out.size();
      out.resize(at + values.size() * sizeof(T));
      if (!values.empty()) std::memcpy(out.data() + at, values.data(), values.size() * sizeof(T));
    } else {
      for (const T value : values)
        for (std::size_t i = 0; i < sizeof(T); ++i)
          out.push_back(static_cast<char>(value >> (8 * i)));
    }
  }
};

}  // namespace minisearch::kernels
