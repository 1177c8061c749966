// Argument binding shared by every function of the module (fast call with keywords).
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <new>
#include <stdexcept>

#include "binding/error.h"
#include "binding/py_ref.h"

namespace quorbel::binding {

inline constexpr std::size_t kMaxParameters = 4;

// One function's signature: every parameter is positional-or-keyword and the required ones lead.
struct Signature {
  const char* function;  // bare name, shown as "<function>()" in messages
  std::array<const char*, kMaxParameters> parameters;
  std::size_t count;     // number of parameters
  std::size_t required;  // number of leading required parameters
  // Interned parameter names, made when the module is first created (never released). Atomic:
  // two threads may create the module at once.
  std::array<std::atomic<PyObject*>, kMaxParameters> interned = {};
};

// Interns the parameter names of `signature`, unless done already; called while the module is
// created, by every thread that creates one.
Status intern_parameter_names(Signature& signature);

// The bound arguments: one borrowed reference (or nullptr for an omitted optional) per parameter.
struct Slots {
  const Signature& signature;
  std::array<PyObject*, kMaxParameters> values = {};

  PyObject* operator[](std::size_t index) const noexcept { return values[index]; }
};

// Binds a fast-call argument vector to `signature`; the binding errors are TypeErrors.
Result<Slots> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

// Converts argument `index` with `convert` (PyObject* -> Result<T>); a TypeError from the
// conversion gets the argument prefix of that parameter.
template <class Convert>
auto convert_arg(const Slots& slots, std::size_t index, Convert convert)
    -> decltype(convert(static_cast<PyObject*>(nullptr))) {
  auto converted = convert(slots[index]);
  if (!converted.ok()) {
    return std::move(converted).take_error().with_argument_prefix(
        slots.signature.parameters[index]);
  }
  return converted;
}

// Raises MemoryError (replacing any pending exception) and returns NULL. Allocates nothing.
[[gnu::cold]] inline PyObject* raise_no_memory() noexcept {
  PyErr_NoMemory();
  return nullptr;
}

// A function's result handed to the interpreter: the new reference, or NULL with the error raised.
inline PyObject* finish(Result<PyRef>&& result) noexcept {
  if (!result.ok()) {
    std::move(result).take_error().raise();
    return nullptr;
  }
  return (*result).release();
}

// Entry and exit of every function: binds, runs `body` (const Slots& -> Result<PyRef>) and hands
// back a new reference, or NULL with exactly one exception set. A native allocation that fails
// (std::bad_alloc, or a request beyond what any allocation can hold) unwinds the call, releasing
// everything it owns, and raises MemoryError; the interpreter goes on.
template <class Body>
PyObject* call(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, Body body) noexcept {
  try {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) >= signature.required &&
        static_cast<std::size_t>(nargs) <= signature.count) {
      // The common call, positional arguments only and a valid number of them: binding is a copy.
      Slots slots{signature};
      for (Py_ssize_t i = 0; i < nargs; ++i) slots.values[static_cast<std::size_t>(i)] = args[i];
      return finish(body(slots));
    }
    Result<Slots> slots = bind_arguments(signature, args, nargs, kwnames);
    if (!slots.ok()) {
      std::move(slots).take_error().raise();
      return nullptr;
    }
    return finish(body(*slots));
  } catch (const std::bad_alloc&) {
    return raise_no_memory();
  } catch (const std::length_error&) {
    return raise_no_memory();
  }
}

// A Python-facing function: what a wrapper file defines beside its body and the module lists.
struct Function {
  using Entry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) noexcept;
  Signature signature;  // holds the name
  Entry entry;          // the fast-call entry: entry_point<this record, body>
  const char* doc;      // the docstring, its first line the text signature
};

// The fast-call entry of `function`, running `body` (const Slots& -> Result<PyRef>) through call.
template <Function& function, Result<PyRef> (*body)(const Slots&)>
PyObject* entry_point(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return call(function.signature, args, nargs, kwnames, body);
}

}  // namespace quorbel::binding
