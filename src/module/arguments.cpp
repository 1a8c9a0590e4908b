#include "module/arguments.hpp"

#include <vector>

#include "module/caller_code.hpp"
#include "module/text.hpp"

namespace quorvel {
namespace {

constexpr std::uint64_t kU32Limit = std::uint64_t{1} << 32;

PyErr type_error(std::string message) { return PyErr::with_text(PyExc_TypeError, std::move(message)); }

const char* was_or_were(std::size_t count) { return count == 1 ? "was" : "were"; }
const char* argument_or_arguments(std::size_t count) { return count == 1 ? "argument" : "arguments"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<std::string_view>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        out += " and ";
      } else {
        out += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// "name()": the head of every message about the call.
std::string full_name(const ArgumentSpec& spec) { return std::string(spec.function_name) + "()"; }

PyErr too_many_positional(const ArgumentSpec& spec, std::size_t given) {
  const std::size_t count = spec.parameters.size();
  std::string message = full_name(spec) + " takes ";
  if (count == spec.required) {
    message += std::to_string(count);
  } else {
    message += "from " + std::to_string(spec.required) + " to " + std::to_string(count);
  }
  message += " positional arguments but " + std::to_string(given) + " " + was_or_were(given) + " given";
  return type_error(std::move(message));
}

PyErr unexpected_keyword(const ArgumentSpec& spec, PyObject* name) {
  QUORVEL_TRY_ASSIGN(text, safe_text(name));
  return type_error(full_name(spec) + " got an unexpected keyword argument '" + text + "'");
}

PyErr multiple_values(const ArgumentSpec& spec, std::string_view parameter) {
  return type_error(full_name(spec) + " got multiple values for argument '" + std::string(parameter) + "'");
}

PyErr missing(const ArgumentSpec& spec, const std::vector<std::string_view>& names) {
  return type_error(full_name(spec) + " missing " + std::to_string(names.size()) + " required positional " +
                    argument_or_arguments(names.size()) + ": " + name_list(names));
}

// The TypeError "argument '{parameter}': {str(incoming)}", replacing
// `incoming` rather than chained to it; only its own cause is carried over
// (which also suppresses the implicit context). Or the failure to make it.
PyErr with_parameter_name(std::string_view parameter, PyObject* incoming) {
  QUORVEL_TRY_ASSIGN(text, safe_text(incoming));
  PyErr wrapped = type_error("argument '" + std::string(parameter) + "': " + text);
  auto outgoing = wrapped.normalize();
  if (!outgoing) return std::move(outgoing).error();
  PyException_SetCause(outgoing.value(), PyException_GetCause(incoming));
  return wrapped;
}

}  // namespace

std::string ArgumentSpec::text_signature() const {
  std::string out(function_name);
  out += "(";
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (i > 0) out += ", ";
    out += parameters[i];
    if (i >= required) out += "=None";
  }
  out += ")\n--\n\n";
  return out;
}

PyResult<Unit> extract_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 std::span<PyObject*> slots) {
  const std::size_t count = spec.parameters.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (args != nullptr) {
    for (std::size_t i = 0; i < given && i < count; ++i) slots[i] = args[i];
  }
  if (given > count) return too_many_positional(spec, given);

  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      PyObject* name_object = PyTuple_GetItem(kwnames, i);
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(name_object, &size);
      if (utf8 == nullptr) {
        PyErr_Clear();
        return unexpected_keyword(spec, name_object);
      }
      const std::string_view name(utf8, static_cast<std::size_t>(size));
      std::size_t j = 0;
      while (j < count && spec.parameters[j] != name) ++j;  // compares lengths before bytes
      if (j == count) return unexpected_keyword(spec, name_object);
      if (slots[j] != nullptr) return multiple_values(spec, spec.parameters[j]);
      slots[j] = args[nargs + i];
    }
  }

  if (given < spec.required) {
    std::vector<std::string_view> absent;
    for (std::size_t i = 0; i < spec.required; ++i) {
      if (slots[i] == nullptr) absent.push_back(spec.parameters[i]);
    }
    if (!absent.empty()) return missing(spec, absent);
  }
  return Unit{};
}

PyErr Argument<Bytes>::mismatch(PyObject* slot, std::string_view parameter) {
  return wrap_argument_error(parameter, PyErr::type_mismatch(slot, "PyBytes"));
}

PyResult<std::optional<std::uint32_t>> Argument<std::optional<std::uint32_t>>::extract(PyObject* slot,
                                                                                       std::string_view parameter) {
  if (slot == nullptr || slot == Py_None) return std::optional<std::uint32_t>();
  unsigned long long value = 0;
  if (PyLong_Check(slot)) {
    value = PyLong_AsUnsignedLongLong(slot);
  } else {
    auto index = returned<CallerRef>(caller_code::index(slot));
    if (!index) return wrap_argument_error(parameter, std::move(index).error());
    value = PyLong_AsUnsignedLongLong(index.value().get());
  }
  // All ones is also a legitimate value; only a pending error makes it a failure.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return wrap_argument_error(parameter, PyErr::fetch());
  }
  if (value >= kU32Limit) {
    return wrap_argument_error(
        parameter, PyErr::with_static_text(PyExc_OverflowError, "out of range integral type conversion attempted"));
  }
  return std::optional<std::uint32_t>(static_cast<std::uint32_t>(value));
}

PyErr wrap_argument_error(std::string_view parameter, PyErr error) {
  if (error.is_internal_failure()) return error;
  auto incoming = error.normalize();
  if (!incoming) return std::move(incoming).error();
  // Exactly TypeError: a subclass keeps its own identity and message.
  if (reinterpret_cast<PyObject*>(Py_TYPE(incoming.value())) != PyExc_TypeError) return error;
  PyErr wrapped = with_parameter_name(parameter, incoming.value());
  // The caller's TypeError is replaced, on every path: release it here.
  std::move(error).discard();
  return wrapped;
}

}  // namespace quorvel
