#pragma once

#include <string>
#include <variant>

#include "codec/result.hpp"
#include "module/py_ref.hpp"

namespace quorvel {

// A Python exception as a value. It is either deferred (an exception type and
// what its argument will be made from: nothing is asked of the interpreter
// until it is raised) or normalized (an exception instance). Only the entry
// points raise it; everything else passes it along. Dropping it releases
// whatever it holds.
class PyErr {
 public:
  // `type` is a borrowed exception class such as PyExc_ValueError.
  static PyErr with_static_text(PyObject* type, const char* text) noexcept;
  static PyErr with_text(PyObject* type, std::string text) noexcept;
  // TypeError "'{type of object}' object cannot be converted to '{target}'".
  static PyErr type_mismatch(PyObject* object, const char* target) noexcept;
  // PanicException carrying `message`.
  static PyErr internal(std::string message) noexcept;

  // The interpreter's pending exception, taken after a call reported failure;
  // a SystemError when none is pending. A PanicException coming back through
  // Python code is resumed: it is reported and thrown as an InternalFailure.
  static PyErr fetch();
  // As fetch(), without looking for a PanicException: for use while that
  // class is being made, when no instance of it can exist yet.
  static PyErr fetch_unchecked();

  PyErr(PyErr&&) noexcept = default;
  PyErr& operator=(PyErr&&) noexcept = default;
  PyErr(const PyErr&) = delete;
  PyErr& operator=(const PyErr&) = delete;
  ~PyErr() = default;

  // Makes this the interpreter's current exception. Throws InternalFailure
  // when the interpreter cannot create the exception's argument.
  void restore() &&;
  // The exception instance (borrowed), creating it if it is still deferred.
  PyObject* normalize();
  // Whether the exception is an instance of `exception_class`.
  bool matches(PyObject* exception_class);
  // "PyErr { type: ..., value: ..., traceback: ... }", for internal failure messages.
  std::string debug_form();
  // Releases the error now instead of raising it. An exception raised by the
  // caller's code may run that code when released (see PyRef::reset).
  void discard() &&;

 private:
  struct StaticText {
    PyRef type;
    const char* text;
  };
  struct OwnedText {
    PyRef type;
    std::string text;
  };
  struct TypeMismatch {
    PyRef from_type;
    const char* target;
  };
  struct Internal {
    std::string message;
  };
  // Neither deferred nor normalized: only while being normalized.
  struct Normalizing {};
  using State = std::variant<Normalizing, StaticText, OwnedText, TypeMismatch, Internal, PyRef>;

  explicit PyErr(State state) noexcept : state_(std::move(state)) {}

  State state_;
};

template <typename T>
using PyResult = Result<T, PyErr>;

// The PanicException class (borrowed; made on first use and kept for the
// life of the process). Throws InternalFailure when it cannot be made.
PyObject* panic_exception_class();

}  // namespace quorvel
