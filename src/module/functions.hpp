#pragma once

// The module's functions. A body takes its arguments already converted, each
// as the type of its parameter says (Argument in arguments.hpp); its
// parameter names, and whether they are required, are its row in the one
// table of module_init.cpp, from which the argument matching, the messages
// and the text signature follow.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/arguments.hpp"

namespace quorvel {

PyResult<PyRef> get_report(Bytes challenge, std::optional<std::uint32_t> msg_ver, std::optional<std::uint32_t> vmpl);
PyResult<PyRef> parse_report(Bytes report_bytes);
PyResult<PyRef> get_tdx_quote(Bytes report_data);

template <typename Body>
struct BodyTraits;
template <typename... Parameters>
struct BodyTraits<PyResult<PyRef> (*)(Parameters...)> {
  using Types = std::tuple<Parameters...>;
};

// One module function: its name, its parameters and its body.
template <auto body>
struct ModuleFunction {
  using Parameters = typename BodyTraits<decltype(body)>::Types;
  static constexpr std::size_t kArity = std::tuple_size_v<Parameters>;

  consteval ModuleFunction(std::string_view name_, std::array<std::string_view, kArity> parameters_,
                           std::size_t required_)
      : name(name_), parameters(parameters_), required(required_) {
    for (std::string_view parameter : parameters) {
      if (parameter.empty()) throw "a parameter of a module function has no name";
    }
    if (required > kArity) throw "a module function requires more parameters than it has";
  }

  ArgumentSpec spec() const noexcept { return {name, parameters, required}; }

  // Matches the call's arguments to the parameters, converts them in
  // parameter order (the first failure ends the call) and runs the body.
  PyResult<PyRef> call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
    std::array<PyObject*, kArity> slots{};
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == kArity) {
      // Every parameter by position, the common call: nothing to match.
      std::copy_n(args, kArity, slots.begin());
    } else {
      QUORVEL_TRY(extract_arguments(spec(), args, nargs, kwnames, slots));
    }
    return convert_and_run(slots);
  }

  std::string_view name;
  std::array<std::string_view, kArity> parameters;
  std::size_t required;

 private:
  template <typename... Converted>
  PyResult<PyRef> convert_and_run(const std::array<PyObject*, kArity>& slots, Converted&&... converted) const {
    constexpr std::size_t index = sizeof...(Converted);
    if constexpr (index == kArity) {
      return body(std::forward<Converted>(converted)...);
    } else {
      using Parameter = std::tuple_element_t<index, Parameters>;
      QUORVEL_TRY_ASSIGN(value, Argument<Parameter>::extract(slots[index], parameters[index]));
      return convert_and_run(slots, std::forward<Converted>(converted)..., std::move(value));
    }
  }
};

}  // namespace quorvel
