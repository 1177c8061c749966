// What the cores return: a value or one failure, as plain values free of the Python API. The
// binding turns a failure into its Python exception in one place (binding::Error::from_core).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "common/io_error.h"

namespace quorbel {

// A malformed varint: the bytes end inside it, or a tenth byte continues it.
enum class VarintError : std::uint8_t { unexpected_end, too_many_bytes };

// Bytes that are not strict UTF-8.
struct Utf8Error {
  bool incomplete;    // the bytes end inside a sequence that was valid so far
  std::size_t index;  // where the faulty sequence starts: the length of the longest valid prefix
  // Not incomplete: the length of the sequence's maximal subpart (1, 2 or 3), the bytes that one
  // U+FFFD replaces.
  std::size_t length;

  friend bool operator==(const Utf8Error&, const Utf8Error&) = default;
};

// "invalid utf-8 sequence of N bytes from index I" or "incomplete utf-8 byte sequence from
// index I".
std::string utf8_error_text(const Utf8Error& error);

// One failure of a core.
using Failure = std::variant<IoError, VarintError, Utf8Error>;

// Whether `failure` is the I/O failure of a call that a signal handler stopped.
inline bool stopped_by_signal(const Failure& failure) noexcept {
  const IoError* io = std::get_if<IoError>(&failure);
  return io != nullptr && io->kind == IoKind::stopped_by_signal;
}

// The value of a step that produces none.
struct Ok {};

// Either a value or a failure; T must be default-constructible. Only the value-less outcome can be
// default-constructed: Outcome<> is a success, so a step without a value ends with `return {};`,
// while a step with a value must name it (a stray `return {};` there does not compile, rather
// than succeed with T{}). The value is meaningful only when ok(), the failure only when not.
template <class T = Ok>
class [[nodiscard]] Outcome {
 public:
  Outcome() requires std::is_same_v<T, Ok>
  = default;
  Outcome(T value) noexcept(std::is_nothrow_move_constructible_v<T>)  // NOLINT: implicit
      : value_(std::move(value)) {}
  Outcome(Failure failure) noexcept : failure_(failure), ok_(false) {}  // NOLINT: implicit
  Outcome(IoError error) noexcept : Outcome(Failure(error)) {}          // NOLINT: implicit
  Outcome(VarintError error) noexcept : Outcome(Failure(error)) {}      // NOLINT: implicit
  Outcome(Utf8Error error) noexcept : Outcome(Failure(error)) {}        // NOLINT: implicit

  bool ok() const noexcept { return ok_; }
  T& operator*() & noexcept { return value_; }
  const T& operator*() const& noexcept { return value_; }
  T&& operator*() && noexcept { return std::move(value_); }
  T* operator->() noexcept { return &value_; }
  const T* operator->() const noexcept { return &value_; }
  const Failure& error() const noexcept { return failure_; }
  Failure take_error() && noexcept { return failure_; }

 private:
  // Side by side rather than in a std::variant, whose index checks cost the posting decoder a few
  // percent: inlined, the unused member and its stores disappear.
  T value_{};
  Failure failure_{};
  bool ok_ = true;
};

// `return {};` builds a success only where there is no value to give.
template <class R>
concept ReturnableFromEmptyBraces = requires(void (*take)(R)) {
  take({});
};
static_assert(ReturnableFromEmptyBraces<Outcome<>>);
static_assert(!ReturnableFromEmptyBraces<Outcome<std::uint64_t>>);
static_assert(!ReturnableFromEmptyBraces<Outcome<bool>>);
static_assert(!std::is_default_constructible_v<Outcome<std::size_t>>);

}  // namespace quorbel

// The one way to pass a failure up, for the cores' Outcome and the binding's Result alike.

// Propagates the failure of an expression of a result type; otherwise continues.
#define QUORBEL_TRY(expression)                                                        \
  do {                                                                                 \
    auto quorbel_try_result_ = (expression);                                           \
    if (!quorbel_try_result_.ok()) return std::move(quorbel_try_result_).take_error(); \
  } while (false)

#define QUORBEL_CONCAT_INNER(a, b) a##b
#define QUORBEL_CONCAT(a, b) QUORBEL_CONCAT_INNER(a, b)

// Evaluates an expression of a result type: on failure returns its error, otherwise moves its
// value into `declaration` (a variable declaration such as `std::int64_t n`).
#define QUORBEL_ASSIGN_OR_RETURN(declaration, expression) \
  QUORBEL_ASSIGN_OR_RETURN_IMPL(QUORBEL_CONCAT(quorbel_result_, __LINE__), declaration, expression)
#define QUORBEL_ASSIGN_OR_RETURN_IMPL(result, declaration, expression) \
  auto result = (expression);                                          \
  if (!result.ok()) return std::move(result).take_error();             \
  declaration = *std::move(result)
