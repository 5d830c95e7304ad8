// Running engine work with the interpreter lock released.
#pragma once

#include <utility>

#include "python.hpp"

namespace plovik::py {

// Releases the interpreter lock around f() and re-acquires it before
// returning or rethrowing, so that failures are translated with the lock held.
template <class F>
decltype(auto) without_gil(F&& f) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return std::forward<F>(f)();
}

}  // namespace plovik::py
