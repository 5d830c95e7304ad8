#include "interrupt.hpp"

namespace plovik::parallel {

namespace {

thread_local InterruptScope* t_scope = nullptr;

// Its address tells the threads apart.
thread_local char t_thread_tag = 0;

}  // namespace

InterruptScope::InterruptScope(Poll poll, void* ctx) noexcept
    : poll_(poll),
      ctx_(ctx),
      owner_(&t_thread_tag),
      next_poll_(Clock::now() + poll_interval),
      saved_(t_scope) {
  t_scope = this;
}

InterruptScope::~InterruptScope() { t_scope = saved_; }

bool InterruptScope::should_stop() noexcept {
  if (stop_.load(std::memory_order_relaxed)) return true;
  if (owner_ != &t_thread_tag || Clock::now() < next_poll_) return false;
  // Pushed back before the hook runs: whatever it runs on this thread meanwhile
  // does not poll this scope again.
  next_poll_ = Clock::time_point::max();
  if (poll_(ctx_)) {
    stop_.store(true, std::memory_order_relaxed);
    return true;
  }
  // Counted from the hook's return, so that a slow hook is not called back to back.
  next_poll_ = Clock::now() + poll_interval;
  return false;
}

InterruptScope* current_interrupt_scope() noexcept { return t_scope; }

ScopeInherited::ScopeInherited(InterruptScope* scope) noexcept : saved_(t_scope) {
  t_scope = scope;
}

ScopeInherited::~ScopeInherited() { t_scope = saved_; }

void check_interrupt() {
  if (t_scope != nullptr && t_scope->should_stop()) throw Interrupted{};
}

}  // namespace plovik::parallel
