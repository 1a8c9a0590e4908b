// Test builds only: makes a chosen interpreter call of the module fail, so
// that tests can walk every failure path. Driven through ctypes by the
// exported functions below; never part of the installed module.

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

namespace quorvel::capi {

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

// The number of fault points passed since the last arm.
extern "C" Py_EXPORTED_SYMBOL long quorvel_fault_points() noexcept { return g_points; }
