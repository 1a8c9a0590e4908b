#pragma once

#include <utility>

#include "module/caller_code.hpp"

namespace quorvel {

// Owned references to Python objects, each released exactly once when its
// holder goes away; borrowed references stay plain PyObject*. Two kinds,
// told apart by what their release may do:
//
// - PyRef: an object whose release runs none of the caller's code: one the
//   module made (with no part of the caller's in it), or a new reference to
//   one that someone else keeps alive.
// - CallerRef: an object that the caller's code may have made (what a
//   __str__ or __index__ returned, an exception it raised, a type's name),
//   whose release may run that code (a __del__) and is therefore made
//   through caller_code::release.
//
// Both leave their object alone on a thread that the interpreter is ending
// (caller_code.hpp): that thread no longer holds the interpreter lock.
class OwnedReference {
 public:
  explicit operator bool() const noexcept { return object_ != nullptr; }
  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller, who must release it.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 protected:
  OwnedReference() noexcept = default;
  explicit OwnedReference(PyObject* object) noexcept : object_(object) {}
  OwnedReference(OwnedReference&& other) noexcept : object_(other.release()) {}
  OwnedReference(const OwnedReference&) = delete;
  ~OwnedReference() = default;
  OwnedReference& operator=(const OwnedReference&) = delete;
  OwnedReference& operator=(OwnedReference&&) = delete;

  PyObject* object_ = nullptr;
};

class PyRef : public OwnedReference {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (which may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&&) noexcept = default;
  PyRef& operator=(PyRef&& other) noexcept {
    reset();
    object_ = other.release();
    return *this;
  }
  ~PyRef() { reset(); }

  void reset() noexcept {
    if (PyObject* object = release(); object != nullptr && !thread_is_ending()) capi::decref(object);
  }

 private:
  explicit PyRef(PyObject* object) noexcept : OwnedReference(object) {}
};

class CallerRef : public OwnedReference {
 public:
  CallerRef() noexcept = default;
  // Takes over a new reference (which may be null).
  static CallerRef steal(PyObject* object) noexcept { return CallerRef(object); }
  static CallerRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return CallerRef(object);
  }
  CallerRef(CallerRef&&) noexcept = default;
  CallerRef& operator=(CallerRef&& other) {
    reset();
    object_ = other.release();
    return *this;
  }
  // The release may end the thread (see caller_code.hpp), which must pass.
  ~CallerRef() noexcept(false) { reset(); }

  void reset() {
    if (PyObject* object = release(); object != nullptr && !thread_is_ending()) caller_code::release(object);
  }

 private:
  explicit CallerRef(PyObject* object) noexcept : OwnedReference(object) {}
};

}  // namespace quorvel
