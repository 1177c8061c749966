#include "binding/arguments.h"

#include <cstring>
#include <string>
#include <string_view>

namespace quorbel::binding {

Status intern_parameter_names(Signature& signature) {
  for (std::size_t i = 0; i < signature.count; ++i) {
    if (signature.interned[i].load(std::memory_order_acquire) != nullptr) continue;
    PyObject* name = PyUnicode_InternFromString(signature.parameters[i]);
    if (name == nullptr) return Error::fetch();
    PyObject* expected = nullptr;
    // Interning gives every thread the same object, so a thread that comes second lets go of its
    // extra reference.
    if (!signature.interned[i].compare_exchange_strong(expected, name, std::memory_order_acq_rel)) {
      Py_DECREF(name);
    }
  }
  return ok();
}

namespace {

[[gnu::cold]] Error too_many_positional(const Signature& signature, Py_ssize_t given) {
  std::string message = std::string(signature.function) + "() takes ";
  if (signature.required == signature.count) {
    message += std::to_string(signature.count);
  } else {
    message +=
        "from " + std::to_string(signature.required) + " to " + std::to_string(signature.count);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  return Error::type_error(std::move(message));
}

[[gnu::cold]] Error unexpected_keyword(const Signature& signature, PyObject* keyword) {
  QUORBEL_ASSIGN_OR_RETURN(std::string name, display_text(keyword));
  return Error::type_error(std::string(signature.function) +
                           "() got an unexpected keyword argument '" + name + "'");
}

[[gnu::cold]] Error multiple_values(const Signature& signature, std::size_t index) {
  return Error::type_error(std::string(signature.function) +
                           "() got multiple values for argument '" + signature.parameters[index] +
                           "'");
}

[[gnu::cold]] Error missing_required(const Signature& signature, const Slots& slots) {
  std::size_t missing[kMaxParameters];
  std::size_t k = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing[k++] = i;
  }
  std::string list;
  for (std::size_t j = 0; j < k; ++j) {
    if (j > 0) list += (k == 2) ? " and " : (j + 1 == k ? ", and " : ", ");
    list += std::string("'") + signature.parameters[missing[j]] + "'";
  }
  return Error::type_error(std::string(signature.function) + "() missing " + std::to_string(k) +
                           " required positional " + (k == 1 ? "argument" : "arguments") + ": " +
                           list);
}

// Index of the parameter called `keyword`, or signature.count when there is none. Interned names
// usually match by identity; otherwise the UTF-8 bytes decide.
std::size_t find_parameter(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.count; ++i) {
    if (signature.interned[i].load(std::memory_order_relaxed) == keyword) return i;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // a name without a UTF-8 form matches no parameter
    return signature.count;
  }
  std::string_view name(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < signature.count; ++i) {
    if (name == signature.parameters[i]) return i;
  }
  return signature.count;
}

}  // namespace

Result<Slots> bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  Slots slots{signature};
  const auto positional = static_cast<Py_ssize_t>(signature.count);
  if (nargs > positional) return too_many_positional(signature, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots.values[static_cast<std::size_t>(i)] = args[i];

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = find_parameter(signature, keyword);
    if (index == signature.count) return unexpected_keyword(signature, keyword);
    if (slots.values[index] != nullptr) return multiple_values(signature, index);
    slots.values[index] = args[nargs + k];
  }

  if (static_cast<std::size_t>(nargs) < signature.required) {
    for (std::size_t i = static_cast<std::size_t>(nargs); i < signature.required; ++i) {
      if (slots.values[i] == nullptr) return missing_required(signature, slots);
    }
  }
  return slots;
}

}  // namespace quorbel::binding
