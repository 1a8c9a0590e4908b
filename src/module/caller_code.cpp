#include "module/caller_code.hpp"

namespace quorvel::caller_code_detail {
namespace {
thread_local bool t_ended = false;
}  // namespace

std::atomic<bool> g_any_thread_ended{false};

bool this_thread_ended() noexcept { return t_ended; }

void mark_this_thread_ended() noexcept {
#ifdef QUORVEL_FAULT_INJECTION
  note_thread_ended();
#endif
  t_ended = true;
  g_any_thread_ended.store(true, std::memory_order_relaxed);
}

}  // namespace quorvel::caller_code_detail
