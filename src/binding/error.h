// The error value: every failure travels as one of these until the function returns.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <utility>
#include <variant>

#include "common/outcome.h"

namespace quorbel::binding {

struct ErrorState;

// A failure on its way to the interpreter. Deferred errors hold a built-in exception class and a
// message (a cast error holds the offending type and formats its message only when raised);
// fetched errors hold an exception instance taken from the interpreter. Success never allocates:
// the state exists only for a failure. An error without state is memory exhaustion (MemoryError):
// what fetch() gives when even the error value cannot be allocated.
class [[nodiscard]] Error {
 public:
  Error(Error&&) noexcept;
  Error& operator=(Error&&) noexcept;
  ~Error();

  // A deferred error of class `type` (a built-in exception class) with a UTF-8 message.
  [[gnu::cold]] static Error deferred(PyObject* type, std::string message);
  [[gnu::cold]] static Error value_error(std::string message);
  [[gnu::cold]] static Error type_error(std::string message);
  [[gnu::cold]] static Error overflow();  // "out of range integral type conversion attempted"
  // "'<qualified type name of value>' object cannot be cast as '<target>'", built when raised.
  [[gnu::cold]] static Error cast(PyObject* value, const char* target);
  // Takes the pending exception; SystemError when none is pending. Never throws.
  [[gnu::cold]] static Error fetch() noexcept;
  // The exception of a core's failure: for an IoError, OSError or the subclass that matches its
  // errno or kind (a call stopped by a signal handler takes the handler's pending exception
  // unchanged); for a VarintError, ValueError "Invalid varint encoding: unexpected end of data"
  // or "...: too many bytes"; for a Utf8Error, ValueError "Invalid UTF-8: <utf8_error_text>".
  [[gnu::cold]] static Error from_core(const Failure& failure);

  // The exact class of the error, or nullptr if it cannot be told without raising it.
  PyObject* type() const noexcept;

  // For a TypeError of exactly that class: the same error with "argument '<parameter>': " in
  // front of its message. Any other error is returned unchanged.
  [[gnu::cold]] Error with_argument_prefix(const char* parameter) &&;

  // Sets the interpreter's exception from this error; exactly one exception is set afterwards.
  [[gnu::cold]] void raise() && noexcept;

 private:
  explicit Error(std::unique_ptr<ErrorState> state) noexcept;
  std::unique_ptr<ErrorState> state_;
};

// Either a value or an error. A core's failure converts to its error (Error::from_core), so
// QUORBEL_TRY and QUORBEL_ASSIGN_OR_RETURN pass a core's Outcome straight up.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit
  Result(const Failure& failure) : Result(Error::from_core(failure)) {}      // NOLINT: implicit

  bool ok() const noexcept { return state_.index() == 0; }
  T& operator*() & noexcept { return *std::get_if<0>(&state_); }
  const T& operator*() const& noexcept { return *std::get_if<0>(&state_); }
  T&& operator*() && noexcept { return std::move(*std::get_if<0>(&state_)); }
  T* operator->() noexcept { return std::get_if<0>(&state_); }
  const T* operator->() const noexcept { return std::get_if<0>(&state_); }
  Error take_error() && noexcept { return std::move(*std::get_if<1>(&state_)); }

 private:
  std::variant<T, Error> state_;
};

// The outcome of a step that produces no value.
using Status = Result<Ok>;
inline Status ok() noexcept { return Ok{}; }

// For a failure that the caller may pass over (a length hint that cannot be had, a text that
// cannot be shown): clears the pending exception and returns true when it is an Exception (or when
// none is pending). Anything else (KeyboardInterrupt, SystemExit, ...) stays pending and the result
// is false: the caller must propagate it.
bool clear_ordinary_exception() noexcept;

// Text of an exception: "<qualified class name>: <str(exception)>", or
// "<qualified class name>: <exception str() failed>" when str() raises an Exception. Any other
// exception from str() is the error.
Result<std::string> exception_text(PyObject* exception);

// str(object) as UTF-8; when str() raises an Exception, it goes to sys.unraisablehook and
// "<unprintable TYPE object>" stands in its place. Any other exception from str() is the error.
Result<std::string> display_text(PyObject* object);

// Qualified name of a type, or "<failed to extract type name>".
std::string qualified_type_name(PyTypeObject* type);

}  // namespace quorbel::binding
