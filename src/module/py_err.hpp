#pragma once

#include <string>
#include <utility>
#include <variant>

#include "codec/result.hpp"
#include "module/py_ref.hpp"

namespace quorvel {

class PyErr;
template <typename T>
using PyResult = Result<T, PyErr>;

// A Python exception as a value, and the module's one way to fail: every
// fallible step returns a PyResult, and only the entry points raise. It is
// either deferred (an exception type and what its argument will be made
// from: nothing is asked of the interpreter until it is raised) or
// normalized (an exception instance). A failure inside the module itself is
// a deferred PanicException. Dropping a PyErr releases whatever it holds.
class PyErr {
 public:
  // `type` is an exception class of the interpreter's own, such as
  // PyExc_ValueError, which lives as long as the interpreter.
  static PyErr with_static_text(PyObject* type, const char* text);
  static PyErr with_text(PyObject* type, std::string text);
  // TypeError "'{type of object}' object cannot be converted to '{target}'".
  static PyErr type_mismatch(PyObject* object, const char* target);
  // PanicException carrying `message`: a failure inside the module.
  static PyErr internal(std::string message);
  // A PyErr found in neither form where one was expected.
  static PyErr invalid();
  // An interpreter call that creates an object returned null: prints the
  // pending error (if any) and fails as "Python API call failed".
  static PyErr api_call_failed();

  // The interpreter's pending exception, taken after a call reported failure;
  // a SystemError when none is pending. A PanicException coming back through
  // Python code is reported and resumed as an internal failure.
  static PyErr fetch();
  // As fetch(), without looking for a PanicException: for use while that
  // class is being made, when no instance of it can exist yet.
  static PyErr fetch_unchecked();
  // Whether the exception pending after a call that formats an object failed
  // is no Exception (KeyboardInterrupt, SystemExit): that is the program's,
  // not a failure to format, and ends the call unchanged (fetch_unchecked).
  static bool interrupt_pending() noexcept;

  // No error: the state of a PyResult that holds a value, and of a PyErr
  // that has been raised or moved from.
  PyErr() noexcept = default;
  PyErr(PyErr&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
  PyErr& operator=(PyErr&& other) {
    if (state_) std::move(*this).discard();
    state_ = std::exchange(other.state_, nullptr);
    return *this;
  }
  PyErr(const PyErr&) = delete;
  PyErr& operator=(const PyErr&) = delete;
  // An exception that the caller's code raised may run that code when
  // released (see CallerRef).
  ~PyErr() noexcept(false) {
    if (state_) std::move(*this).discard();
  }

  bool is_set() const noexcept { return state_ != nullptr; }
  // A failure inside the module is not a Python exception to look into, but
  // ends the call as it is: code that inspects an error lets one through.
  bool is_internal_failure() const noexcept { return state_ && std::holds_alternative<Internal>(*state_); }

  // Makes this the interpreter's current exception. Fails, with nothing
  // raised, when the interpreter cannot create the exception's argument.
  PyResult<Unit> restore() &&;
  // The exception instance (borrowed), creating it if it is still deferred.
  PyResult<PyObject*> normalize();
  // Whether the exception is an instance of `exception_class`.
  PyResult<bool> matches(PyObject* exception_class);
  // "PyErr { type: ..., value: ..., traceback: ... }", for internal failure messages.
  PyResult<std::string> debug_form();
  // Releases the error now instead of raising it.
  void discard() &&;

 private:
  struct StaticText {
    PyObject* type;
    const char* text;
  };
  struct OwnedText {
    PyObject* type;
    std::string text;
  };
  struct TypeMismatch {
    CallerRef from_type;  // a class of the caller's, whose release may run its code
    const char* target;
  };
  struct Internal {
    std::string message;
  };
  struct Normalized {
    CallerRef instance;
  };
  using State = std::variant<StaticText, OwnedText, TypeMismatch, Internal, Normalized>;

  explicit PyErr(State state) : state_(new State(std::move(state))) {}

  // The one allocation of an error, owned. Null when there is no error,
  // which includes the moment of normalization, when the error is in neither
  // form. Freed only by discard(), out of line: the release of the caller's
  // objects it holds is no part of the code that tests and moves errors.
  State* state_ = nullptr;
};

// A PyResult is an error or a value, the value meaningful only without an
// error: the PyErr alone tells which, so testing and dropping a result costs
// a pointer test, on the path of every step of every call.
template <typename T>
class [[nodiscard]] Result<T, PyErr> {
 public:
  Result(T value) : value_(std::move(value)) {}     // NOLINT: implicit by design
  Result(PyErr error) : error_(std::move(error)) {  // NOLINT: implicit by design
    if (!error_.is_set()) error_ = PyErr::invalid();
  }

  bool ok() const noexcept { return !error_.is_set(); }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return value_; }
  const T& value() const& { return value_; }
  T&& value() && { return std::move(value_); }

  PyErr& error() & { return error_; }
  PyErr&& error() && { return std::move(error_); }

 private:
  T value_{};
  PyErr error_;
};

// Takes over a new reference that an interpreter call made; null means the
// interpreter could not create the object (see PyErr::api_call_failed).
inline PyResult<PyRef> new_object(PyObject* made) {
  if (made == nullptr) return PyErr::api_call_failed();
  return PyRef::steal(made);
}

// Takes over a new reference that an interpreter call returned; null means
// the call failed with the exception it left pending.
template <typename Ref = PyRef>
PyResult<Ref> returned(PyObject* result) {
  if (result == nullptr) return PyErr::fetch();
  return Ref::steal(result);
}

// The PanicException class (borrowed; made on first use and kept for the
// life of the process).
PyResult<PyObject*> panic_exception_class();

}  // namespace quorvel
