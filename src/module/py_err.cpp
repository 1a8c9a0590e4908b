#include "module/py_err.hpp"

#include <cstdio>
#include <utility>

#include "module/capi.hpp"
#include "module/internal_failure.hpp"
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

PyRef new_str(std::string_view text) {
  PyRef str = PyRef::steal(capi::unicode_from(text));
  if (!str) api_call_failed();
  return str;
}

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

}  // namespace

void api_call_failed() {
  if (PyErr_Occurred()) run_caller_code([] { PyErr_Print(); });  // sys.excepthook may be the caller's
  throw InternalFailure("Python API call failed");
}

PyObject* panic_exception_class() {
  if (g_panic_class != nullptr) return g_panic_class;
  PyRef base = PyRef::borrow(PyExc_BaseException);
  PyObject* created = capi::new_exception_type(kPanicName, kPanicDoc, base.get());
  if (created == nullptr) {
    throw InternalFailure("Failed to initialize new exception type.: " + PyErr::fetch_unchecked().debug_form());
  }
  // Making the class may have run Python code that made it first.
  if (g_panic_class != nullptr) {
    Py_DECREF(created);
  } else {
    g_panic_class = created;
  }
  return g_panic_class;
}

PyErr PyErr::with_static_text(PyObject* type, const char* text) noexcept {
  return PyErr(StaticText{PyRef::borrow(type), text});
}

PyErr PyErr::with_text(PyObject* type, std::string text) noexcept {
  return PyErr(OwnedText{PyRef::borrow(type), std::move(text)});
}

PyErr PyErr::type_mismatch(PyObject* object, const char* target) noexcept {
  return PyErr(TypeMismatch{PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target});
}

PyErr PyErr::internal(std::string message) noexcept { return PyErr(Internal{std::move(message)}); }

PyErr PyErr::fetch_unchecked() {
  PyRef raised = take_raised();
  if (!raised) return with_static_text(PyExc_SystemError, "attempted to fetch exception but none was set");
  return PyErr(std::move(raised));
}

PyErr PyErr::fetch() {
  PyRef raised = take_raised();
  if (!raised) return with_static_text(PyExc_SystemError, "attempted to fetch exception but none was set");
  PyObject* panic_class = panic_exception_class();
  if (reinterpret_cast<PyObject*>(Py_TYPE(raised.get())) != panic_class) return PyErr(std::move(raised));

  // One of the module's own internal failures came back through Python code:
  // report it where it surfaced and carry it on as an internal failure.
  std::string message = "Unwrapped panic from Python code";
  if (PyRef text = PyRef::steal(capi::object_str(raised.get()))) {
    message = str_text(text.get());
    text.reset();
  } else {
    PyErr_Clear();
  }
  std::fputs("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_SetRaisedException(raised.release());
  run_caller_code([] { PyErr_PrintEx(0); });
  throw InternalFailure(std::move(message));
}

void PyErr::restore() && {
  State state = std::exchange(state_, Normalizing{});
  PyRef type;
  PyRef argument;
  switch (state.index()) {
    case 1: {
      auto& deferred = std::get<StaticText>(state);
      type = std::move(deferred.type);
      argument = new_str(deferred.text);
      break;
    }
    case 2: {
      auto& deferred = std::get<OwnedText>(state);
      type = std::move(deferred.type);
      argument = new_str(deferred.text);
      break;
    }
    case 3: {
      auto& deferred = std::get<TypeMismatch>(state);
      type = PyRef::borrow(PyExc_TypeError);
      argument = new_str(type_mismatch_message(deferred.from_type.get(), deferred.target));
      break;
    }
    case 4: {
      type = PyRef::borrow(panic_exception_class());
      PyRef message = new_str(std::get<Internal>(state).message);
      argument = PyRef::steal(capi::tuple_new(1));
      if (!argument) api_call_failed();
      PyTuple_SetItem(argument.get(), 0, message.release());  // steals the message
      break;
    }
    case 5: PyErr_SetRaisedException(std::get<PyRef>(state).release()); return;
    default: throw InternalFailure("PyErr state should never be invalid outside of normalization");
  }
  if (PyExceptionClass_Check(type.get())) {
    PyErr_SetObject(type.get(), argument.get());
  } else {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
  }
}

PyObject* PyErr::normalize() {
  if (auto* instance = std::get_if<PyRef>(&state_)) return instance->get();
  if (std::holds_alternative<Normalizing>(state_)) {
    throw InternalFailure("Cannot normalize a PyErr while already normalizing it.");
  }
  PyErr deferred(std::exchange(state_, Normalizing{}));
  std::move(deferred).restore();
  PyRef instance = take_raised();
  if (!instance) throw InternalFailure("exception missing after writing to the interpreter");
  state_ = std::move(instance);
  return std::get<PyRef>(state_).get();
}

bool PyErr::matches(PyObject* exception_class) {
  PyObject* instance = normalize();
  return PyErr_GivenExceptionMatches(reinterpret_cast<PyObject*>(Py_TYPE(instance)), exception_class) != 0;
}

void PyErr::discard() && {
  State state = std::exchange(state_, Normalizing{});
  if (auto* instance = std::get_if<PyRef>(&state)) instance->reset();
}

std::string PyErr::debug_form() {
  PyObject* instance = normalize();
  std::string out = "PyErr { type: ";
  out += safe_text(reinterpret_cast<PyObject*>(Py_TYPE(instance)), TextForm::Repr);
  out += ", value: ";
  out += safe_text(instance, TextForm::Repr);
  out += ", traceback: ";
  if (PyRef traceback = PyRef::steal(PyException_GetTraceback(instance))) {
    out += "Some(" + safe_text(traceback.get(), TextForm::Repr) + ")";
  } else {
    out += "None";
  }
  out += " }";
  return out;
}

}  // namespace quorvel
