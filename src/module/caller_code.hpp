#pragma once

// The interpreter calls that may run the caller's Python code: a __str__,
// __repr__ or __index__, a __del__, an exception class's __new__ or
// __init__, sys.excepthook or sys.unraisablehook, and whatever a profile,
// trace or audit hook, a GC callback or a signal handler makes of them. The
// module makes every such call through this namespace and no other way; an
// interpreter call that is not here must not be able to run Python code.
//
// Why it matters: when the interpreter finalizes, a thread that waits for
// the interpreter lock is ended where it waits, on Linux by a forced unwind
// (pthread_exit) through every C and C++ frame of the thread, the module's
// included. Only the caller's code can make a call of the module wait for
// the lock (code that sleeps or does I/O), so only these calls can start
// that unwind. Each notes when it is left by an unwind: from then on the
// thread no longer holds the lock, and the references the module releases
// on its way out are left alone (PyRef, CallerRef), as the interpreter's own
// C frames leave theirs. A leak at shutdown harms nothing; touching the
// interpreter without the lock does. Neither these calls nor anything on the
// way out of them is noexcept, so the unwind passes through.

#include <atomic>
#include <type_traits>

#include "module/capi.hpp"

namespace quorvel {

namespace caller_code_detail {
// Set, never cleared, once any thread has been ended inside a call: until
// then a release needs no look at the thread's own flag.
extern std::atomic<bool> g_any_thread_ended;
bool this_thread_ended() noexcept;
void mark_this_thread_ended() noexcept;
#ifdef QUORVEL_FAULT_INJECTION
void note_thread_ended() noexcept;  // counted by the test build
#endif

// An interpreter call never throws a C++ exception, so leaving one by an
// unwind means the thread is ending.
template <typename Call>
auto run(Call&& call) -> decltype(call()) {
  capi::audit_caller_code();
  struct Sentinel {
    bool returned = false;
    ~Sentinel() {
      if (!returned) mark_this_thread_ended();
    }
  } sentinel;
  if constexpr (std::is_void_v<decltype(call())>) {
    call();
    sentinel.returned = true;
  } else {
    auto result = call();
    sentinel.returned = true;
    return result;
  }
}
}  // namespace caller_code_detail

// Whether this thread is being ended by the interpreter and no longer holds
// the interpreter lock.
inline bool thread_is_ending() noexcept {
  return caller_code_detail::g_any_thread_ended.load(std::memory_order_relaxed) &&
         caller_code_detail::this_thread_ended();
}

namespace caller_code {

using caller_code_detail::run;

// PyObject_Str, PyObject_Repr, PyNumber_Index: new references, null on failure.
inline PyObject* str(PyObject* object) {
  if (capi::inject_fault()) return nullptr;
  return run([object] { return PyObject_Str(object); });
}
inline PyObject* repr(PyObject* object) {
  if (capi::inject_fault()) return nullptr;
  return run([object] { return PyObject_Repr(object); });
}
inline PyObject* index(PyObject* object) {
  if (capi::inject_fault()) return nullptr;
  return run([object] { return PyNumber_Index(object); });
}
// Hands the pending exception to sys.unraisablehook and clears it.
inline void write_unraisable(PyObject* object) {
  run([object] { PyErr_WriteUnraisable(object); });
}
// Prints the pending exception through sys.excepthook and clears it; the
// first form also keeps it as sys.last_exc.
inline void print_error() {
  run([] { PyErr_Print(); });
}
inline void print_error_without_keeping() {
  run([] { PyErr_PrintEx(0); });
}
// Drops the pending exception, which the caller's code may have raised.
inline void clear_error() {
  run([] { PyErr_Clear(); });
}
// PyErr_SetObject: makes the exception instance, running the class's
// __new__ and __init__, which the caller can replace on a class of the
// module's own (PanicException).
inline void set_exception(PyObject* type, PyObject* argument) {
  run([type, argument] { PyErr_SetObject(type, argument); });
}
// The release of an object that the caller's code may have made (a __del__,
// a weakref callback).
inline void release(PyObject* object) {
  run([object] { capi::decref(object); });
}

}  // namespace caller_code
}  // namespace quorvel
