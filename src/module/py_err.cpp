#include "module/py_err.hpp"

#include <cstdio>
#include <type_traits>
#include <utility>

#include "module/capi.hpp"
#include "module/text.hpp"

namespace quorvel {
namespace {

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
  if (PyRef qualname = PyRef::steal(capi::type_qualname(reinterpret_cast<PyTypeObject*>(type)))) {
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

PyRef take_raised() { return PyRef::steal(PyErr_GetRaisedException()); }

// The exception class and the argument that a deferred error is raised with.
struct Raisable {
  PyRef type;
  PyRef argument;
};

PyResult<Raisable> raisable_with_text(PyRef type, std::string_view text) {
  QUORVEL_TRY_ASSIGN(argument, new_object(capi::unicode_from(text)));
  return Raisable{std::move(type), std::move(argument)};
}

PyResult<Raisable> raisable_panic(const std::string& message) {
  QUORVEL_TRY_ASSIGN(panic_class, panic_exception_class());
  QUORVEL_TRY_ASSIGN(text, new_object(capi::unicode_from(message)));
  QUORVEL_TRY_ASSIGN(arguments, new_object(capi::tuple_new(1)));
  PyTuple_SetItem(arguments.get(), 0, text.release());  // steals the text
  return Raisable{PyRef::borrow(panic_class), std::move(arguments)};
}

}  // namespace

PyResult<PyObject*> panic_exception_class() {
  if (g_panic_class != nullptr) return g_panic_class;
  PyRef base = PyRef::borrow(PyExc_BaseException);
  PyObject* created = capi::new_exception_type(kPanicName, kPanicDoc, base.get());
  if (created == nullptr) {
    QUORVEL_TRY_ASSIGN(cause, PyErr::fetch_unchecked().debug_form());
    return PyErr::internal("Failed to initialize new exception type.: " + cause);
  }
  // Making the class may have run Python code that made it first.
  if (g_panic_class != nullptr) {
    Py_DECREF(created);
  } else {
    g_panic_class = created;
  }
  return g_panic_class;
}

PyErr PyErr::with_static_text(PyObject* type, const char* text) { return PyErr(StaticText{PyRef::borrow(type), text}); }

PyErr PyErr::with_text(PyObject* type, std::string text) {
  return PyErr(OwnedText{PyRef::borrow(type), std::move(text)});
}

PyErr PyErr::type_mismatch(PyObject* object, const char* target) {
  return PyErr(TypeMismatch{PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target});
}

PyErr PyErr::internal(std::string message) { return PyErr(Internal{std::move(message)}); }

PyErr PyErr::api_call_failed() {
  if (PyErr_Occurred()) run_caller_code([] { PyErr_Print(); });  // sys.excepthook may be the caller's
  return internal("Python API call failed");
}

PyErr PyErr::fetch_unchecked() {
  PyRef raised = take_raised();
  if (!raised) return with_static_text(PyExc_SystemError, "attempted to fetch exception but none was set");
  return PyErr(Normalized{std::move(raised)});
}

PyErr PyErr::fetch() {
  PyRef raised = take_raised();
  if (!raised) return with_static_text(PyExc_SystemError, "attempted to fetch exception but none was set");
  // The exception was raised by the caller's code: wherever it is dropped
  // here, it is released with reset() (see PyRef).
  auto panic_class = panic_exception_class();
  if (!panic_class) {
    raised.reset();
    return std::move(panic_class).error();
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(raised.get())) != panic_class.value()) {
    return PyErr(Normalized{std::move(raised)});
  }

  // One of the module's own internal failures came back through Python code:
  // report it where it surfaced and carry it on as an internal failure.
  std::string message = "Unwrapped panic from Python code";
  if (PyRef text = PyRef::steal(capi::object_str(raised.get()))) {
    auto utf8 = str_text(text.get());
    text.reset();
    if (!utf8) {
      raised.reset();
      return std::move(utf8).error();
    }
    message = std::move(utf8).value();
  } else {
    run_caller_code([] { PyErr_Clear(); });  // the failure came from the caller's __str__
  }
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_SetRaisedException(raised.release());
  run_caller_code([] { PyErr_PrintEx(0); });
  return internal(std::move(message));
}

PyErr PyErr::invalid() { return internal("PyErr state should never be invalid outside of normalization"); }

PyResult<Unit> PyErr::restore() && {
  const std::unique_ptr<State> state = std::move(state_);
  if (!state) return invalid();
  if (auto* normalized = std::get_if<Normalized>(state.get())) {
    PyErr_SetRaisedException(normalized->instance.release());
    return Unit{};
  }
  auto made = std::visit(
      [](auto& deferred) -> PyResult<Raisable> {
        using Form = std::decay_t<decltype(deferred)>;
        if constexpr (std::is_same_v<Form, StaticText> || std::is_same_v<Form, OwnedText>) {
          return raisable_with_text(std::move(deferred.type), deferred.text);
        } else if constexpr (std::is_same_v<Form, TypeMismatch>) {
          return raisable_with_text(PyRef::borrow(PyExc_TypeError),
                                    type_mismatch_message(deferred.from_type.get(), deferred.target));
        } else if constexpr (std::is_same_v<Form, Internal>) {
          return raisable_panic(deferred.message);
        } else {
          static_assert(std::is_same_v<Form, Normalized>);
          return invalid();  // taken above
        }
      },
      *state);
  if (!made) return std::move(made).error();
  const Raisable& raisable = made.value();
  if (PyExceptionClass_Check(raisable.type.get())) {
    PyErr_SetObject(raisable.type.get(), raisable.argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
  return Unit{};
}

PyResult<PyObject*> PyErr::normalize() {
  if (!state_) return internal("Cannot normalize a PyErr while already normalizing it.");
  if (auto* normalized = std::get_if<Normalized>(state_.get())) return normalized->instance.get();
  PyErr deferred = std::move(*this);
  QUORVEL_TRY(std::move(deferred).restore());
  PyRef instance = take_raised();
  if (!instance) return internal("exception missing after writing to the interpreter");
  state_ = std::make_unique<State>(Normalized{std::move(instance)});
  return std::get<Normalized>(*state_).instance.get();
}

PyResult<bool> PyErr::matches(PyObject* exception_class) {
  QUORVEL_TRY_ASSIGN(instance, normalize());
  return PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(instance)), exception_class) != 0;
}

void PyErr::discard() && {
  const std::unique_ptr<State> state = std::move(state_);
  if (!state) return;
  if (auto* normalized = std::get_if<Normalized>(state.get())) normalized->instance.reset();
}

PyResult<std::string> PyErr::debug_form() {
  QUORVEL_TRY_ASSIGN(instance, normalize());
  QUORVEL_TRY_ASSIGN(type_text, safe_text(reinterpret_cast<PyObject*>(Py_TYPE(instance)), TextForm::Repr));
  QUORVEL_TRY_ASSIGN(value_text, safe_text(instance, TextForm::Repr));
  std::string traceback_text = "None";
  if (PyRef traceback = PyRef::steal(PyException_GetTraceback(instance))) {
    QUORVEL_TRY_ASSIGN(text, safe_text(traceback.get(), TextForm::Repr));
    traceback_text = "Some(" + text + ")";
  }
  return "PyErr { type: " + type_text + ", value: " + value_text + ", traceback: " + traceback_text + " }";
}

}  // namespace quorvel
