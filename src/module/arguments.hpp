#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "module/py_err.hpp"

namespace quorvel {

// The parameter list of one module function: every parameter may be given
// by position or by keyword, and the first `required` of them must be.
struct ArgumentSpec {
  std::string_view function_name;
  std::span<const std::string_view> parameters;
  std::size_t required = 0;

  // "name(a, b=None)\n--\n\n", from which the interpreter reads the
  // function's __text_signature__ (leaving __doc__ None). An optional
  // parameter defaults to None.
  std::string text_signature() const;
};

// Matches a METH_FASTCALL | METH_KEYWORDS call against `spec` and fills one
// borrowed reference per parameter into `slots`; parameters not supplied
// stay null. Fails with the TypeError a malformed call deserves.
PyResult<Unit> extract_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 std::span<PyObject*> slots);

// The typed parameters of function bodies, each converted from its slot by
// the Argument specialization of its type: a failure names the parameter.

// A bytes object (or an instance of a subclass), borrowed from the call.
struct Bytes {
  PyObject* object;
};

template <typename T>
struct Argument;

template <>
struct Argument<Bytes> {
  static PyResult<Bytes> extract(PyObject* slot, std::string_view parameter) {
    if (PyBytes_Check(slot)) return Bytes{slot};
    return mismatch(slot, parameter);
  }
  static PyErr mismatch(PyObject* slot, std::string_view parameter);
};

// Absent for an empty slot or None; otherwise an integer in [0, 2**32).
template <>
struct Argument<std::optional<std::uint32_t>> {
  static PyResult<std::optional<std::uint32_t>> extract(PyObject* slot, std::string_view parameter);
};

// Puts the parameter name in front of a conversion TypeError; any other
// error passes unchanged.
PyErr wrap_argument_error(std::string_view parameter, PyErr error);

}  // namespace quorvel
