// Running engine work with the interpreter lock released.
#pragma once

#include <type_traits>
#include <utility>

#include "binding/runtime/exceptions.hpp"
#include "binding/runtime/python.hpp"
#include "binding/runtime/signals.hpp"

namespace plovik::py {

// Releases the interpreter lock around f() and re-acquires it before
// returning or rethrowing, so that failures are translated with the lock held.
//
// A daemon thread that comes back while the interpreter is shutting down is
// ended inside PyEval_RestoreThread by pthread_exit, which unwinds the stack
// with a forced-unwind exception. Nothing on the way up may be noexcept (a
// destructor included) or swallow it, or the process aborts: so the lock is
// re-acquired in plain code, or in a catch block when f() failed, never in
// a destructor. The call's access guard and buffers are released as the
// stack unwinds.
//
// On the thread that handles signals, f() polls for them now and then
// (signals.hpp). When a signal handler raised, its exception is the call's:
// whatever f() threw on the way out (parallel::Interrupted, or a failure
// that came first on another thread) becomes PythonError, and so does a
// return (which no engine path makes after an interrupt).
template <class F>
decltype(auto) without_gil(F&& f) {
  SignalPolling polling;
  polling.state = PyEval_SaveThread();
  auto work = [&]() -> decltype(auto) {
    try {
      return std::forward<F>(f)();
    } catch (...) {
      PyEval_RestoreThread(polling.state);
      if (polling.raised) throw PythonError{};
      throw;
    }
  };
  if constexpr (std::is_void_v<decltype(work())>) {
    work();
    PyEval_RestoreThread(polling.state);
    if (polling.raised) throw PythonError{};
  } else {
    decltype(auto) result = work();
    PyEval_RestoreThread(polling.state);
    if (polling.raised) throw PythonError{};
    return result;
  }
}

}  // namespace plovik::py
