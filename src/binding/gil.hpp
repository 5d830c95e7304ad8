// Running engine work with the interpreter lock released.
#pragma once

#include <type_traits>
#include <utility>

#include "binding/python.hpp"

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
template <class F>
decltype(auto) without_gil(F&& f) {
  PyThreadState* state = PyEval_SaveThread();
  auto work = [&]() -> decltype(auto) {
    try {
      return std::forward<F>(f)();
    } catch (...) {
      PyEval_RestoreThread(state);
      throw;
    }
  };
  if constexpr (std::is_void_v<decltype(work())>) {
    work();
    PyEval_RestoreThread(state);
  } else {
    decltype(auto) result = work();
    PyEval_RestoreThread(state);
    return result;
  }
}

}  // namespace plovik::py
