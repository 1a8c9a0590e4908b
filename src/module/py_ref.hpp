#pragma once

#include <utility>

#include "module/python.hpp"
#include "module/thread_exit.hpp"

namespace quorvel {

// An owned reference to a Python object, released exactly once when the
// holder goes away. Borrowed references stay plain PyObject*.
//
// The destructor is for objects whose release runs no Python code of the
// caller's: those the module made, and those it only borrowed a reference
// to. An object that the module may hold the last reference to and that the
// caller's code made (what a __str__ returned, an exception it raised) is
// given up with reset() on the way out of a success.
// A thread that the interpreter ends while it runs the caller's code leaves
// every reference where it is (see thread_exit.hpp).
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() {
    if (object_ != nullptr && !thread_is_ending()) Py_DECREF(object_);
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller, who must release it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // Releases the reference now. The release may run the caller's code (a
  // __del__), which may even end the thread: that is let through.
  void reset() {
    if (PyObject* object = std::exchange(object_, nullptr)) run_caller_code([object] { Py_DECREF(object); });
  }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace quorvel
