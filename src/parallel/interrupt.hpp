// Stopping a long call early. The binding installs an InterruptScope on the
// thread that makes a call; every pool job started under it (nested jobs and
// the tasks other threads run for it included) stops claiming tasks once the
// scope's hook has asked to stop, and the call unwinds with Interrupted.
//
// The hook runs only on the thread that installed the scope, between tasks
// (Job::next) and at explicit check_interrupt() calls, at most once per
// poll_interval: a call shorter than that never runs it. Other threads only
// read the scope's stop flag.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>

namespace plovik::parallel {

// The call stopped because its scope's hook asked to. Whatever the hook has
// to report (the binding: a Python exception) it has recorded itself.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "the call was interrupted"; }
};

inline constexpr std::chrono::milliseconds poll_interval{50};

class InterruptScope {
 public:
  // poll(ctx) returns true to stop the call. It is never called again once
  // it returned true.
  using Poll = bool (*)(void* ctx);

  // Installs the scope on this thread until destruction (scopes nest).
  InterruptScope(Poll poll, void* ctx) noexcept;
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  // Whether the call must stop. On the installing thread this runs the hook
  // when poll_interval has passed since the scope began or the hook last
  // ran; elsewhere it only reads the stop flag.
  bool should_stop() noexcept;

 private:
  using Clock = std::chrono::steady_clock;

  const Poll poll_;
  void* const ctx_;
  const void* const owner_;  // identifies the installing thread
  std::atomic<bool> stop_{false};
  Clock::time_point next_poll_;  // read and written on the installing thread only
  InterruptScope* const saved_;
};

// The scope that jobs started on this thread belong to, or null.
InterruptScope* current_interrupt_scope() noexcept;

// Makes `scope` the current one on this thread while alive: a pool thread
// does this while it runs a job's tasks, so that jobs nested in them belong
// to the same call.
class ScopeInherited {
 public:
  explicit ScopeInherited(InterruptScope* scope) noexcept;
  ~ScopeInherited();
  ScopeInherited(const ScopeInherited&) = delete;
  ScopeInherited& operator=(const ScopeInherited&) = delete;

 private:
  InterruptScope* const saved_;
};

// Hides the current scope while alive: work started meanwhile on this thread
// runs to its end. For the commit of a change, which must not stop halfway.
class NoInterrupts {
 public:
  NoInterrupts() noexcept : hidden_(nullptr) {}

 private:
  ScopeInherited hidden_;
};

// Throws Interrupted when the current scope says the call must stop. For
// long stretches of work that do not pass through Job::next often: a long
// task, or sequential work on the calling thread.
void check_interrupt();

}  // namespace plovik::parallel
