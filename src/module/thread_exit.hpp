#pragma once

// When the interpreter finalizes, a thread that waits for the interpreter
// lock is ended where it waits: on Linux by a forced unwind (pthread_exit)
// that runs through every C and C++ frame of the thread, the module's
// included. Only the caller's Python code can make a call of the module wait
// for the lock (a __index__, a __str__, a __del__ or a hook that sleeps or
// does I/O), so only the interpreter calls that may run such code can start
// that unwind. They go through run_caller_code, which notes when a call is
// left by an unwind: from then on this thread no longer holds the lock, and
// whatever the module releases on its way out is left alone, as the
// interpreter's own C frames leave theirs. A leak at shutdown harms nothing;
// touching the interpreter without the lock does.

#include <atomic>
#include <type_traits>

namespace quorvel {

namespace thread_exit_detail {
// Set, never cleared, once any thread has been ended inside a call: until
// then a release needs no look at the thread's own flag.
extern std::atomic<bool> g_any_thread_ended;
bool this_thread_ended() noexcept;
void mark_this_thread_ended() noexcept;
}  // namespace thread_exit_detail

// Whether this thread is being ended by the interpreter and no longer holds
// the interpreter lock.
inline bool thread_is_ending() noexcept {
  return thread_exit_detail::g_any_thread_ended.load(std::memory_order_relaxed) &&
         thread_exit_detail::this_thread_ended();
}

// Runs an interpreter call that may run the caller's Python code. Neither the
// call nor anything on its way out is noexcept, so the forced unwind of an
// ending thread passes through. An interpreter call never throws a C++
// exception, so leaving it by an unwind means the thread is ending.
template <typename Call>
auto run_caller_code(Call&& call) -> decltype(call()) {
  struct Sentinel {
    bool returned = false;
    ~Sentinel() {
      if (!returned) thread_exit_detail::mark_this_thread_ended();
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

}  // namespace quorvel
