#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "module/py_err.hpp"

namespace quorvel {

struct KeywordOnlyParameter {
  std::string_view name;
  bool required;
};

// The parameter list of one module function, fixed at compile time.
struct ArgumentSpec {
  std::string_view function_name;
  std::string_view class_name;  // empty: a module-level function
  std::span<const std::string_view> positional;
  std::size_t positional_only = 0;
  std::size_t required_positional = 0;
  std::span<const KeywordOnlyParameter> keyword_only = {};

  constexpr std::size_t slot_count() const noexcept { return positional.size() + keyword_only.size(); }
  // "name()" or "Class.name()": the head of every message about the call.
  std::string full_name() const;
  // "name(a, b=None)\n--\n\n", from which the interpreter reads the
  // function's __text_signature__ (leaving __doc__ None). An optional
  // parameter defaults to None.
  std::string text_signature() const;
};

// Matches a METH_FASTCALL | METH_KEYWORDS call against `spec` and fills one
// borrowed reference per parameter into `slots` (positional parameters
// first, then keyword-only ones); parameters not supplied stay null.
// Fails with the TypeError a malformed call deserves.
PyResult<Unit> extract_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 std::span<PyObject*> slots);

// The object itself (borrowed) when it is bytes or a subclass of bytes.
PyResult<PyObject*> extract_bytes(PyObject* object, std::string_view parameter);

// Absent for an empty slot or None; otherwise an integer in [0, 2**32).
PyResult<std::optional<std::uint32_t>> extract_optional_u32(PyObject* slot, std::string_view parameter);

// Puts the parameter name in front of a conversion TypeError; any other
// error passes unchanged.
PyErr wrap_argument_error(std::string_view parameter, PyErr error);

}  // namespace quorvel
