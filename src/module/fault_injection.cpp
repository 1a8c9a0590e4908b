// Test builds only: makes a chosen interpreter call of the module fail, so
// that tests can walk every failure path, and watches the releases of
// references for any made without the interpreter lock. Driven through
// ctypes by the exported functions below; never part of the installed module.

#include <atomic>
#include <cstdio>
#include <new>

#include "module/capi.hpp"

namespace {

enum class FaultMode : int {
  MemoryError = 0,  // the call fails with MemoryError set, as on exhaustion
  NoException = 1,  // the call fails without setting an exception
  CppBadAlloc = 2,  // the module's own allocation fails at that point
};

long g_countdown = 0;
long g_points = 0;
FaultMode g_mode = FaultMode::MemoryError;

}  // namespace

// Not in the limited API, but exported by every CPython: whether this
// thread holds the interpreter lock.
extern "C" int PyGILState_Check(void);

namespace {

std::atomic<long> g_unlocked_releases{0};
std::atomic<long> g_threads_ended{0};
std::atomic<long> g_local_refs_across_caller_code{0};
thread_local long t_local_refs = 0;

// Reported when the process exits, after the interpreter has finalized.
struct ExitReport {
  ExitReport() = default;
  ExitReport(const ExitReport&) = delete;
  ExitReport& operator=(const ExitReport&) = delete;
  ~ExitReport() {
    const long ended = g_threads_ended.load();
    const long unlocked = g_unlocked_releases.load();
    const long across = g_local_refs_across_caller_code.load();
    if (across != 0)
      std::fprintf(stderr, "quorvel test build: %ld call(s) of the caller's code with a LocalRef held\n", across);
    if (ended != 0 || unlocked != 0) {
      std::fprintf(stderr,
                   "quorvel test build: %ld thread(s) ended in the caller's code, %ld release(s) without the lock\n",
                   ended, unlocked);
    }
  }
} g_exit_report;

}  // namespace

namespace quorvel::caller_code_detail {

void note_thread_ended() noexcept { ++g_threads_ended; }

}  // namespace quorvel::caller_code_detail

namespace quorvel::capi {

void local_ref_taken() noexcept { ++t_local_refs; }
void local_ref_released() noexcept { --t_local_refs; }
void audit_caller_code() noexcept {
  if (t_local_refs != 0) ++g_local_refs_across_caller_code;
}

bool lock_held_for_release() noexcept {
  if (PyGILState_Check() != 0) return true;
  ++g_unlocked_releases;
  return false;
}

bool inject_fault() {
  ++g_points;
  if (g_countdown <= 0 || --g_countdown != 0) return false;
  switch (g_mode) {
    case FaultMode::MemoryError: PyErr_NoMemory(); return true;
    case FaultMode::NoException: return true;
    case FaultMode::CppBadAlloc: throw std::bad_alloc();
  }
  return true;
}

}  // namespace quorvel::capi

// Fails the nth fault point from now (1-based; 0 disarms) in `mode`, and
// restarts the count of points passed.
extern "C" Py_EXPORTED_SYMBOL void quorvel_fault_arm(long nth, int mode) noexcept {
  g_countdown = nth;
  g_mode = static_cast<FaultMode>(mode);
  g_points = 0;
}

// The calls of the caller's code made while a LocalRef was held, ever.
extern "C" Py_EXPORTED_SYMBOL long quorvel_local_refs_across_caller_code() noexcept {
  return g_local_refs_across_caller_code.load();
}

// The number of fault points passed since the last arm.
extern "C" Py_EXPORTED_SYMBOL long quorvel_fault_points() noexcept { return g_points; }
