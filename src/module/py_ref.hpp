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
//
// - LocalRef: an object the module made and releases before it makes any
//   call that may run the caller's code. No thread can be ended while one is
//   held, so its release needs no look at the thread: it is the reference of
//   the code that every call runs (building parse_report's result). The test
//   build counts calls of the caller's code made while one is held.
template <typename Self>
class OwnedReference {
 public:
  // Takes over a new reference (which may be null).
  static Self steal(PyObject* object) noexcept { return Self(object); }
  // Takes a new reference to a borrowed object.
  static Self borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Self(object);
  }

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

class PyRef : public OwnedReference<PyRef> {
 public:
  PyRef() noexcept = default;
  PyRef(PyRef&&) noexcept = default;
  PyRef& operator=(PyRef&& other) noexcept {
    reset();
    object_ = other.release();
    return *this;
  }
  ~PyRef() {
    if (object_ != nullptr && !thread_is_ending()) capi::decref(object_);
  }

  void reset() noexcept {
    if (PyObject* object = release(); object != nullptr && !thread_is_ending()) capi::decref(object);
  }

 private:
  friend OwnedReference;
  explicit PyRef(PyObject* object) noexcept : OwnedReference(object) {}
};

class CallerRef : public OwnedReference<CallerRef> {
 public:
  CallerRef() noexcept = default;
  CallerRef(CallerRef&&) noexcept = default;
  CallerRef& operator=(CallerRef&& other) {
    reset();
    object_ = other.release();
    return *this;
  }
  // The release may end the thread (see caller_code.hpp), which must pass.
  ~CallerRef() noexcept(false) {
    if (object_ != nullptr && !thread_is_ending()) caller_code::release(object_);
  }

  void reset() {
    if (PyObject* object = release(); object != nullptr && !thread_is_ending()) caller_code::release(object);
  }

 private:
  friend OwnedReference;
  explicit CallerRef(PyObject* object) noexcept : OwnedReference(object) {}
};

class LocalRef : public OwnedReference<LocalRef> {
 public:
  LocalRef() noexcept = default;
  LocalRef(LocalRef&&) noexcept = default;
  LocalRef& operator=(LocalRef&&) = delete;
  ~LocalRef() {
    if (object_ != nullptr) {
      capi::local_ref_released();
      capi::decref(object_);
    }
  }
  // Hands the reference to the caller, who must release it.
  [[nodiscard]] PyObject* release() noexcept {
    if (object_ != nullptr) capi::local_ref_released();
    return OwnedReference<LocalRef>::release();
  }

 private:
  friend OwnedReference;
  explicit LocalRef(PyObject* object) noexcept : OwnedReference(object) {
    if (object != nullptr) capi::local_ref_taken();
  }
};

}  // namespace quorvel
