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

PyErr too_many_positional(const ArgumentSpec& spec, std::size_t given) {
  const std::size_t p = spec.positional.size();
  std::string message = spec.full_name() + " takes ";
  if (p == spec.required_positional) {
    message += std::to_string(p);
  } else {
    message += "from " + std::to_string(spec.required_positional) + " to " + std::to_string(p);
  }
  message += " positional arguments but " + std::to_string(given) + " " + was_or_were(given) + " given";
  return type_error(std::move(message));
}

PyErr unexpected_keyword(const ArgumentSpec& spec, PyObject* name) {
  auto text = safe_text(name);
  if (!text) return std::move(text).error();
  return type_error(spec.full_name() + " got an unexpected keyword argument '" + text.value() + "'");
}

PyErr multiple_values(const ArgumentSpec& spec, std::string_view parameter) {
  return type_error(spec.full_name() + " got multiple values for argument '" + std::string(parameter) + "'");
}

PyErr missing(const ArgumentSpec& spec, const char* what, const std::vector<std::string_view>& names) {
  return type_error(spec.full_name() + " missing " + std::to_string(names.size()) + " required " + what + " " +
                    argument_or_arguments(names.size()) + ": " + name_list(names));
}

std::optional<std::size_t> find(std::string_view name, auto&& names, auto&& name_of) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (name_of(names[i]) == name) return i;  // compares lengths before bytes
  }
  return std::nullopt;
}

// The TypeError "argument '{parameter}': {str(incoming)}", replacing
// `incoming` rather than chained to it; only its own cause is carried over
// (which also suppresses the implicit context). Or the failure to make it.
PyErr with_parameter_name(std::string_view parameter, PyObject* incoming) {
  auto text = safe_text(incoming);
  if (!text) return std::move(text).error();
  PyErr wrapped = type_error("argument '" + std::string(parameter) + "': " + text.value());
  auto outgoing = wrapped.normalize();
  if (!outgoing) return std::move(outgoing).error();
  PyException_SetCause(outgoing.value(), PyException_GetCause(incoming));
  return wrapped;
}

}  // namespace

std::string ArgumentSpec::full_name() const {
  std::string name;
  if (!class_name.empty()) {
    name += class_name;
    name += ".";
  }
  name += function_name;
  name += "()";
  return name;
}

std::string ArgumentSpec::text_signature() const {
  std::string out(function_name);
  out += "(";
  auto add = [&out](std::string_view item) {
    if (out.back() != '(') out += ", ";
    out += item;
  };
  for (std::size_t i = 0; i < positional.size(); ++i) {
    add(positional[i]);
    if (i >= required_positional) out += "=None";
    if (i + 1 == positional_only) add("/");
  }
  if (!keyword_only.empty()) add("*");
  for (const KeywordOnlyParameter& parameter : keyword_only) {
    add(parameter.name);
    if (!parameter.required) out += "=None";
  }
  out += ")\n--\n\n";
  return out;
}

PyResult<Unit> extract_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 std::span<PyObject*> slots) {
  const std::size_t positional_count = spec.positional.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (args != nullptr) {
    for (std::size_t i = 0; i < given && i < positional_count; ++i) slots[i] = args[i];
  }
  if (given > positional_count) return too_many_positional(spec, given);

  std::vector<std::string_view> positional_only_by_keyword;
  if (kwnames != nullptr) {
    const Py_ssize_t keyword_count = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
      PyObject* name_object = PyTuple_GetItem(kwnames, i);
      PyObject* value = args[nargs + i];
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(name_object, &size);
      if (utf8 == nullptr) {
        PyErr_Clear();
        return unexpected_keyword(spec, name_object);
      }
      const std::string_view name(utf8, static_cast<std::size_t>(size));

      if (auto k = find(name, spec.keyword_only, [](const KeywordOnlyParameter& p) { return p.name; })) {
        PyObject*& slot = slots[positional_count + *k];
        if (slot != nullptr) return multiple_values(spec, spec.keyword_only[*k].name);
        slot = value;
        continue;
      }
      if (auto j = find(name, spec.positional, [](std::string_view p) { return p; })) {
        if (*j < spec.positional_only) {
          positional_only_by_keyword.push_back(spec.positional[*j]);
          continue;
        }
        if (slots[*j] != nullptr) return multiple_values(spec, spec.positional[*j]);
        slots[*j] = value;
        continue;
      }
      return unexpected_keyword(spec, name_object);
    }
  }

  if (!positional_only_by_keyword.empty()) {
    return type_error(spec.full_name() + " got some positional-only arguments passed as keyword arguments: " +
                      name_list(positional_only_by_keyword));
  }

  if (given < spec.required_positional) {
    std::vector<std::string_view> absent;
    for (std::size_t i = 0; i < spec.required_positional; ++i) {
      if (slots[i] == nullptr) absent.push_back(spec.positional[i]);
    }
    if (!absent.empty()) return missing(spec, "positional", absent);
  }

  std::vector<std::string_view> absent_keywords;
  for (std::size_t k = 0; k < spec.keyword_only.size(); ++k) {
    if (spec.keyword_only[k].required && slots[positional_count + k] == nullptr) {
      absent_keywords.push_back(spec.keyword_only[k].name);
    }
  }
  if (!absent_keywords.empty()) return missing(spec, "keyword", absent_keywords);
  return Unit{};
}

PyResult<PyObject*> extract_bytes(PyObject* object, std::string_view parameter) {
  if (PyBytes_Check(object)) return object;
  return wrap_argument_error(parameter, PyErr::type_mismatch(object, "PyBytes"));
}

PyResult<std::optional<std::uint32_t>> extract_optional_u32(PyObject* slot, std::string_view parameter) {
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
