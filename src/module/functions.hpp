#pragma once

// The bodies of the module's functions. Each takes the fast-call argument
// vector as the interpreter passed it and returns a new reference or the
// error to raise; the entry wrappers do the raising.

#include "module/py_err.hpp"

namespace quorvel {

using FunctionBody = PyResult<PyRef> (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyResult<PyRef> parse_report(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> get_report(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyResult<PyRef> get_tdx_quote(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace quorvel
