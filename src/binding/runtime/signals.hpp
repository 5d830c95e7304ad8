// Python signal handlers during engine work: Ctrl-C (or any signal whose
// handler raises) stops a long call early.
#pragma once

#include <optional>

#include "binding/runtime/python.hpp"
#include "parallel/interrupt.hpp"

namespace plovik::py {

// Records the thread that handles signals (threading.main_thread()); call
// from the module's exec, with the interpreter lock held. Until it succeeds
// no call polls for signals.
void note_signal_thread();

// The engine side of one call made without the interpreter lock. On the
// thread that handles signals it installs an interrupt scope whose hook
// takes the lock back (from `state`, the thread state saved when the lock
// was released), runs the pending signal handlers, and releases the lock
// again. When a handler raises, the exception stays set, `raised` turns
// true and the engine unwinds with parallel::Interrupted. Construct it with
// the lock held.
class SignalPolling {
 public:
  SignalPolling();
  SignalPolling(const SignalPolling&) = delete;
  SignalPolling& operator=(const SignalPolling&) = delete;

  PyThreadState* state = nullptr;
  bool raised = false;

 private:
  std::optional<parallel::InterruptScope> scope_;
};

}  // namespace plovik::py
