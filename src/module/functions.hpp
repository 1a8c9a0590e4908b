#pragma once

// The module's functions. Each is described once, in its own file: its
// parameters, from which its argument matching and its text signature
// follow, and its body, which sees the arguments already matched.

#include <cstddef>
#include <span>
#include <string_view>

#include "module/arguments.hpp"

namespace quorvel {

// The most parameters a module function has: the entry points match the
// arguments into a fixed array of this size.
inline constexpr std::size_t kMaxParameters = 3;

// Borrowed, one per parameter in the order of ArgumentSpec's slots; null
// where the caller supplied none.
using Arguments = std::span<PyObject* const>;

struct ModuleFunction {
  using Body = PyResult<PyRef> (*)(Arguments arguments);

  // A module-level function whose parameters may all be given by position
  // or by keyword, the first `required` of them required.
  consteval ModuleFunction(std::string_view name, std::span<const std::string_view> positional, std::size_t required,
                           Body body_)
      : parameters{.function_name = name,
                   .class_name = {},
                   .positional = positional,
                   .positional_only = 0,
                   .required_positional = required},
        body(body_) {
    if (parameters.slot_count() > kMaxParameters) throw "a module function has more than kMaxParameters parameters";
  }

  ArgumentSpec parameters;
  Body body;
};

// In the order of registration and of __all__.
extern const ModuleFunction kGetReport;
extern const ModuleFunction kParseReport;
extern const ModuleFunction kGetTdxQuote;

}  // namespace quorvel
