// Python entry points: get_block_stats, iter_block_terms, read_term_at_offset.
#pragma once

#include <Python.h>

#include "binding/arguments.h"

namespace quorbel::blockfile {

const binding::ArgumentSpec& get_block_stats_spec() noexcept;

// get_block_stats(...) -> tuple
PyObject* py_get_block_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

const binding::ArgumentSpec& iter_block_terms_spec() noexcept;

// iter_block_terms(...) -> list
PyObject* py_iter_block_terms(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

const binding::ArgumentSpec& read_term_at_offset_spec() noexcept;

// read_term_at_offset(...) -> tuple | None
PyObject* py_read_term_at_offset(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) noexcept;

}  // namespace quorbel::blockfile
