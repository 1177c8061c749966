// Mapping of I/O failures to the interpreter's OSError family.
#pragma once

#include <Python.h>

#include <string>

#include "common/io_error.h"

namespace quorbel::binding {

// The OSError subclass for an errno (kind os) or for a kind: FileNotFoundError for ENOENT,
// PermissionError for EPERM/EACCES, ..., plain OSError for everything else.
PyObject* os_error_class(const IoError& error) noexcept;

// "<system description> (os error N)" for an errno, the fixed message otherwise.
std::string io_error_text(const IoError& error);

}  // namespace quorbel::binding
