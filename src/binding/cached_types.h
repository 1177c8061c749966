// Type objects from the standard library, imported once per process.
#pragma once

#include <Python.h>

#include "binding/error.h"

namespace quorbel::binding {

// collections.abc.Sequence (borrowed, kept for the life of the process).
Result<PyObject*> sequence_type();

// io.TextIOBase (borrowed, kept for the life of the process).
Result<PyObject*> text_io_base_type();

}  // namespace quorbel::binding
