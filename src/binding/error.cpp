#include "binding/error.h"

#include <new>

#include "binding/os_error.h"
#include "binding/py_ref.h"

namespace quorbel::binding {

struct ErrorState {
  PyObject* type = nullptr;  // built-in class, immortal for our purposes; deferred errors only
  std::string message;
  std::string prefix;  // argument prefix, put in front of the message when raised
  PyRef cast_type;     // cast errors: the type of the refused value
  const char* cast_target = nullptr;
  PyRef cause;     // carried over from a prefixed TypeError
  PyRef instance;  // fetched errors
};

Error::Error(std::unique_ptr<ErrorState> state) noexcept : state_(std::move(state)) {}
Error::Error(Error&&) noexcept = default;
Error& Error::operator=(Error&&) noexcept = default;
Error::~Error() = default;

Error Error::deferred(PyObject* type, std::string message) {
  auto state = std::make_unique<ErrorState>();
  state->type = type;
  state->message = std::move(message);
  return Error(std::move(state));
}

Error Error::value_error(std::string message) {
  return deferred(PyExc_ValueError, std::move(message));
}

Error Error::type_error(std::string message) {
  return deferred(PyExc_TypeError, std::move(message));
}

Error Error::overflow() {
  return deferred(PyExc_OverflowError, "out of range integral type conversion attempted");
}

Error Error::cast(PyObject* value, const char* target) {
  auto state = std::make_unique<ErrorState>();
  state->type = PyExc_TypeError;
  state->cast_type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  state->cast_target = target;
  return Error(std::move(state));
}

Error Error::fetch() noexcept {
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  // Without the memory for the error value itself, memory exhaustion is the error.
  std::unique_ptr<ErrorState> state(new (std::nothrow) ErrorState());
  if (!state) return Error(nullptr);
  if (raised) {
    state->instance = std::move(raised);
    return Error(std::move(state));
  }
  state->type = PyExc_SystemError;
  try {
    state->message = "attempted to fetch exception but none was set";
  } catch (const std::bad_alloc&) {
    return Error(nullptr);
  }
  return Error(std::move(state));
}

Error Error::from_core(const Failure& failure) {
  if (const IoError* io = std::get_if<IoError>(&failure)) {
    if (io->kind == IoKind::stopped_by_signal) return fetch();  // the handler's own exception
    return deferred(os_error_class(*io), io_error_text(*io));
  }
  if (const Utf8Error* utf8 = std::get_if<Utf8Error>(&failure)) {
    return value_error("Invalid UTF-8: " + utf8_error_text(*utf8));
  }
  return value_error(std::get<VarintError>(failure) == VarintError::too_many_bytes
                         ? "Invalid varint encoding: too many bytes"
                         : "Invalid varint encoding: unexpected end of data");
}

PyObject* Error::type() const noexcept {
  if (!state_) return PyExc_MemoryError;
  if (state_->instance) return reinterpret_cast<PyObject*>(Py_TYPE(state_->instance.get()));
  return state_->type;
}

Error Error::with_argument_prefix(const char* parameter) && {
  if (type() != PyExc_TypeError) return std::move(*this);
  std::string prefix = std::string("argument '") + parameter + "': ";
  if (!state_->instance) {
    state_->prefix = std::move(prefix) + state_->prefix;
    return std::move(*this);
  }
  PyObject* instance = state_->instance.get();
  QUORBEL_ASSIGN_OR_RETURN(std::string text, display_text(instance));
  Error prefixed = type_error(prefix + text);
  prefixed.state_->cause = PyRef::steal(PyException_GetCause(instance));
  return prefixed;
}

namespace {

std::string cast_message(const ErrorState& state) {
  auto* type = reinterpret_cast<PyTypeObject*>(state.cast_type.get());
  return "'" + qualified_type_name(type) + "' object cannot be cast as '" + state.cast_target + "'";
}

// Sets a deferred error: its class with its message, built now.
void raise_deferred(ErrorState& state) {
  std::string text = state.prefix + (state.cast_target ? cast_message(state) : state.message);
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return;  // MemoryError is pending
  PyErr_SetObject(state.type, message.get());
  if (state.cause) {
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, state.cause.release());
    PyErr_SetRaisedException(raised);
  }
}

}  // namespace

void Error::raise() && noexcept {
  if (!state_) {
    PyErr_NoMemory();
    return;
  }
  if (state_->instance) {
    PyErr_SetRaisedException(state_->instance.release());
    return;
  }
  try {
    raise_deferred(*state_);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();  // no room for the message
  }
}

std::string qualified_type_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetQualName(type));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return std::string(utf8, static_cast<std::size_t>(size));
}

namespace {

// UTF-8 of a str object; nullopt-like empty result with ok=false when it has none.
bool utf8_of(PyObject* text, std::string& out) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
    if (!bytes) {
      PyErr_Clear();
      return false;
    }
    out.assign(PyBytes_AS_STRING(bytes.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
  }
  out.assign(utf8, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

bool clear_ordinary_exception() noexcept {
  if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyErr_Clear();
  return true;
}

Result<std::string> exception_text(PyObject* exception) {
  std::string text = qualified_type_name(Py_TYPE(exception));
  PyRef str = PyRef::steal(PyObject_Str(exception));
  std::string body;
  if (!str || !utf8_of(str.get(), body)) {
    if (!clear_ordinary_exception()) return Error::fetch();
    return text + ": <exception str() failed>";
  }
  return text + ": " + body;
}

Result<std::string> display_text(PyObject* object) {
  PyRef str = PyRef::steal(PyObject_Str(object));
  std::string body;
  if (str && utf8_of(str.get(), body)) return body;
  if (PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Error::fetch();
    PyErr_WriteUnraisable(object);
  }
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  Py_ssize_t size = 0;
  const char* utf8 = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::string("<unprintable object>");
  }
  return "<unprintable " + std::string(utf8, static_cast<std::size_t>(size)) + " object>";
}

}  // namespace quorbel::binding
