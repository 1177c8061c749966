// What the block files do when a signal interrupts a system call: what the interpreter's own file
// I/O does.
#include <Python.h>

#include "blockfile/file.h"

namespace quorbel::blockfile {

// The calls run attached to the interpreter, so the handlers of pending signals can run here.
// A handler that raises stops the call and leaves its exception pending for the caller, which
// takes it unchanged (Error::from_core); otherwise the call is repeated.
bool continue_after_signal() noexcept { return PyErr_CheckSignals() == 0; }

}  // namespace quorbel::blockfile
