#include "module/py_err.hpp"

#include <cstdio>
#include <type_traits>
#include <utility>

#include "module/caller_code.hpp"
#include "module/text.hpp"

namespace quorvel {
namespace {

// Callers match the class's name and the texts below exactly, leftovers of another implementation as they look.
constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Written once under the interpreter lock, never released.
PyObject* g_panic_class = nullptr;

std::string type_mismatch_message(PyObject* type, const char* target) {
  std::string name = "<failed to extract type name>";
  // A heap type's name is whatever str (subclass) the caller assigned.
  if (CallerRef qualname = CallerRef::steal(capi::type_qualname(reinterpret_cast<PyTypeObject*>(type)))) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(qualname.get(), &size)) {
      name.assign(utf8, static_cast<std::size_t>(size));
    } else {
      PyErr_Clear();
    }
  } else {
    PyErr_Clear();
  }
  return "'" + name + "' object cannot be converted to '" + target + "'";
}

CallerRef take_raised() { return CallerRef::steal(PyErr_GetRaisedException()); }

// The exception class and the argument that a deferred error is raised with.
// The class is the interpreter's or PanicException, neither ever released.
struct Raisable {
  PyObject* type;
  PyRef argument;
};

PyResult<Raisable> raisable_with_text(PyObject* type, std::string_view text) {
  QUORVEL_TRY_ASSIGN(argument, new_object(capi::unicode_from(text)));
  return Raisable{type, std::move(argument)};
}

PyResult<Raisable> raisable_panic(const std::string& message) {
  QUORVEL_TRY_ASSIGN(panic_class, panic_exception_class());
  QUORVEL_TRY_ASSIGN(text, new_object(capi::unicode_from(message)));
  QUORVEL_TRY_ASSIGN(arguments, new_object(capi::tuple_new(1)));
  PyTuple_SetItem(arguments.get(), 0, text.release());  // steals the text
  return Raisable{panic_class, std::move(arguments)};
}

}  // namespace

PyResult<PyObject*> panic_exception_class() {
  if (g_panic_class != nullptr) return g_panic_class;
  PyObject* created = capi::new_exception_type(kPanicName, kPanicDoc, PyExc_BaseException);
  if (created == nullptr) {
    QUORVEL_TRY_ASSIGN(cause, PyErr::fetch_unchecked().debug_form());
    return PyErr::internal("Failed to initialize new exception type.: " + cause);
  }
  // The first class stored wins.
  if (g_panic_class != nullptr) {
    capi::decref(created);
  } else {
    g_panic_class = created;
  }
  return g_panic_class;
}

PyErr PyErr::with_static_text(PyObject* type, const char* text) { return PyErr(StaticText{type, text}); }

PyErr PyErr::with_text(PyObject* type, std::string text) { return PyErr(OwnedText{type, std::move(text)}); }

PyErr PyErr::type_mismatch(PyObject* object, const char* target) {
  return PyErr(TypeMismatch{CallerRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target});
}

PyErr PyErr::internal(std::string message) { return PyErr(Internal{std::move(message)}); }

PyErr PyErr::api_call_failed() {
  if (PyErr_Occurred()) caller_code::print_error();
  return internal("Python API call failed");
}

PyErr PyErr::fetch_unchecked() {
  CallerRef raised = take_raised();
  if (!raised) return with_static_text(PyExc_SystemError, "attempted to fetch exception but none was set");
  return PyErr(Normalized{std::move(raised)});
}

bool PyErr::interrupt_pending() noexcept {
  return PyErr_Occurred() != nullptr && PyErr_ExceptionMatches(PyExc_Exception) == 0;
}

PyErr PyErr::fetch() {
  CallerRef raised = take_raised();
  if (!raised) return with_static_text(PyExc_SystemError, "attempted to fetch exception but none was set");
  QUORVEL_TRY_ASSIGN(panic_class, panic_exception_class());
  if (reinterpret_cast<PyObject*>(Py_TYPE(raised.get())) != panic_class) return PyErr(Normalized{std::move(raised)});

  // One of the module's own internal failures came back through Python code:
  // report it where it surfaced and carry it on as an internal failure.
  std::string message = "Unwrapped panic from Python code";
  if (CallerRef text = CallerRef::steal(caller_code::str(raised.get()))) {
    QUORVEL_TRY_ASSIGN(utf8, str_text(text.get()));
    message = std::move(utf8);
  } else if (interrupt_pending()) {
    return fetch_unchecked();
  } else {
    caller_code::clear_error();
  }
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_SetRaisedException(raised.release());
  caller_code::print_error_without_keeping();
  return internal(std::move(message));
}

PyErr PyErr::invalid() { return internal("PyErr state should never be invalid outside of normalization"); }

PyResult<Unit> PyErr::restore() && {
  PyErr taken = std::move(*this);
  if (!taken.state_) return invalid();
  if (auto* normalized = std::get_if<Normalized>(taken.state_)) {
    PyErr_SetRaisedException(normalized->instance.release());
    return Unit{};
  }
  auto made = std::visit(
      [](auto& deferred) -> PyResult<Raisable> {
        using Form = std::decay_t<decltype(deferred)>;
        if constexpr (std::is_same_v<Form, StaticText> || std::is_same_v<Form, OwnedText>) {
          return raisable_with_text(deferred.type, deferred.text);
        } else if constexpr (std::is_same_v<Form, TypeMismatch>) {
          return raisable_with_text(PyExc_TypeError, type_mismatch_message(deferred.from_type.get(), deferred.target));
        } else if constexpr (std::is_same_v<Form, Internal>) {
          return raisable_panic(deferred.message);
        } else {
          static_assert(std::is_same_v<Form, Normalized>);
          return invalid();  // taken above
        }
      },
      *taken.state_);
  if (!made) return std::move(made).error();
  if (PyExceptionClass_Check(made.value().type)) {
    caller_code::set_exception(made.value().type, made.value().argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return Unit{};
}

PyResult<PyObject*> PyErr::normalize() {
  if (!state_) return internal("Cannot normalize a PyErr while already normalizing it.");
  if (auto* normalized = std::get_if<Normalized>(state_)) return normalized->instance.get();
  QUORVEL_TRY(std::move(*this).restore());
  CallerRef instance = take_raised();
  if (!instance) return internal("exception missing after writing to the interpreter");
  state_ = new State(Normalized{std::move(instance)});
  return std::get<Normalized>(*state_).instance.get();
}

PyResult<bool> PyErr::matches(PyObject* exception_class) {
  QUORVEL_TRY_ASSIGN(instance, normalize());
  return PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(instance)), exception_class) != 0;
}

void PyErr::discard() && {
  if (!state_) return;
  if (auto* mismatch = std::get_if<TypeMismatch>(state_)) mismatch->from_type.reset();
  if (auto* normalized = std::get_if<Normalized>(state_)) normalized->instance.reset();
  delete std::exchange(state_, nullptr);
}

PyResult<std::string> PyErr::debug_form() {
  QUORVEL_TRY_ASSIGN(instance, normalize());
  QUORVEL_TRY_ASSIGN(type_text, safe_text(reinterpret_cast<PyObject*>(Py_TYPE(instance)), TextForm::Repr));
  QUORVEL_TRY_ASSIGN(value_text, safe_text(instance, TextForm::Repr));
  std::string traceback_text = "None";
  if (CallerRef traceback = CallerRef::steal(PyException_GetTraceback(instance))) {
    QUORVEL_TRY_ASSIGN(text, safe_text(traceback.get(), TextForm::Repr));
    traceback_text = "Some(" + text + ")";
  }
  return "PyErr { type: " + type_text + ", value: " + value_text + ", traceback: " + traceback_text + " }";
}

}  // namespace quorvel
