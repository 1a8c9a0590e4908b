#pragma once

// The boundary between the interpreter and the module. Every call from the
// interpreter passes through call_at_boundary, which turns the outcome of
// the module's code into what the interpreter expects: a new reference, or
// null with exactly one exception set. No C++ exception of the module's
// crosses it.
//
// The module fails by returning errors; what it may still throw is the
// standard library's (std::bad_alloc above all), and every such exception
// derives from std::exception, which is what the boundary catches.
//
// The forced unwind of a thread that the interpreter ends (caller_code.hpp)
// is not the module's and must cross it: swallowing it aborts the process,
// and so would a noexcept frame on its way. It is no std::exception, so it
// passes the handlers here untouched (a catch (...) would take it, and not
// every C++ runtime can throw it on), and nothing from here to the caller's
// code is noexcept.

#include <cassert>
#include <exception>
#include <new>
#include <optional>

#include "module/py_err.hpp"

namespace quorvel {

template <typename Body>
PyObject* call_at_boundary(Body&& body) {
  PyObject* result = nullptr;
  try {
    std::optional<PyErr> error;
    try {
      PyResult<PyRef> outcome = body();
      if (outcome.ok()) {
        result = std::move(outcome).value().release();
      } else {
        error.emplace(std::move(outcome).error());
      }
    } catch (const std::bad_alloc&) {
      // The module's own memory ran out: that is the interpreter's
      // MemoryError, not a reason to take the host process down.
      PyErr_NoMemory();
    } catch (const std::exception&) {
      // Callers match this text exactly, as they do every fixed text of the module.
      error.emplace(PyErr::internal("panic from Rust code"));
    }
    // Raising fails only when the interpreter cannot create the exception's
    // argument, which happens when memory is exhausted. MemoryError needs no
    // allocation and leaves the interpreter usable.
    if (error && !std::move(*error).restore().ok()) PyErr_NoMemory();
  } catch (const std::exception&) {
    PyErr_NoMemory();  // the module's own memory ran out while raising
  }
  assert((result == nullptr) == (PyErr_Occurred() != nullptr));
  return result;
}

}  // namespace quorvel
