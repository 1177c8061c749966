#include "binding/arguments.h"

#include <cstring>
#include <string>
#include <string_view>

namespace quorbel::binding {

Status intern_parameter_names(const ArgumentSpec& spec) {
  for (std::size_t i = 0; i < spec.count; ++i) {
    if (spec.interned[i] != nullptr) continue;
    PyObject* name = PyUnicode_InternFromString(spec.parameters[i]);
    if (name == nullptr) return Error::fetch();
    spec.interned[i] = name;
  }
  return ok();
}

namespace {

[[gnu::cold]] Error too_many_positional(const ArgumentSpec& spec, Py_ssize_t given) {
  std::string message = std::string(spec.function) + "() takes ";
  if (spec.required == spec.count) {
    message += std::to_string(spec.count);
  } else {
    message += "from " + std::to_string(spec.required) + " to " + std::to_string(spec.count);
  }
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  return Error::type_error(std::move(message));
}

[[gnu::cold]] Error unexpected_keyword(const ArgumentSpec& spec, PyObject* keyword) {
  return Error::type_error(std::string(spec.function) + "() got an unexpected keyword argument '" +
                           display_text(keyword) + "'");
}

[[gnu::cold]] Error multiple_values(const ArgumentSpec& spec, std::size_t index) {
  return Error::type_error(std::string(spec.function) + "() got multiple values for argument '" +
                           spec.parameters[index] + "'");
}

[[gnu::cold]] Error missing_required(const ArgumentSpec& spec, const Slots& slots) {
  std::size_t missing[kMaxParameters];
  std::size_t k = 0;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (slots[i] == nullptr) missing[k++] = i;
  }
  std::string list;
  for (std::size_t j = 0; j < k; ++j) {
    if (j > 0) list += (k == 2) ? " and " : (j + 1 == k ? ", and " : ", ");
    list += std::string("'") + spec.parameters[missing[j]] + "'";
  }
  return Error::type_error(std::string(spec.function) + "() missing " + std::to_string(k) +
                           " required positional " + (k == 1 ? "argument" : "arguments") + ": " +
                           list);
}

// Index of the parameter called `keyword`, or spec.count when there is none. Interned names
// usually match by identity; otherwise the UTF-8 bytes decide.
std::size_t find_parameter(const ArgumentSpec& spec, PyObject* keyword) {
  for (std::size_t i = 0; i < spec.count; ++i) {
    if (spec.interned[i] == keyword) return i;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();  // a name without a UTF-8 form matches no parameter
    return spec.count;
  }
  std::string_view name(utf8, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < spec.count; ++i) {
    if (name == spec.parameters[i]) return i;
  }
  return spec.count;
}

}  // namespace

Result<Slots> bind_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  Slots slots{spec};
  const auto positional = static_cast<Py_ssize_t>(spec.count);
  if (nargs > positional) return too_many_positional(spec, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) slots.values[static_cast<std::size_t>(i)] = args[i];

  Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = find_parameter(spec, keyword);
    if (index == spec.count) return unexpected_keyword(spec, keyword);
    if (slots.values[index] != nullptr) return multiple_values(spec, index);
    slots.values[index] = args[nargs + k];
  }

  if (static_cast<std::size_t>(nargs) < spec.required) {
    for (std::size_t i = static_cast<std::size_t>(nargs); i < spec.required; ++i) {
      if (slots.values[i] == nullptr) return missing_required(spec, slots);
    }
  }
  return slots;
}

}  // namespace quorbel::binding
