// Failure translation: the binding throws C++ exceptions while it works and
// turns them into one Python exception at the boundary.
#pragma once

#include <cxxabi.h>

#include "binding/runtime/python.hpp"

namespace plovik::py {

// A Python exception is already set; unwind to the boundary and return NULL.
struct PythonError {};

// Throws PythonError when `p` is NULL (a failed C API call).
template <class T>
T* check(T* p) {
  if (p == nullptr) throw PythonError{};
  return p;
}
inline void check(int status) {
  if (status < 0) throw PythonError{};
}

// Sets exc with message and throws PythonError.
[[noreturn]] void raise(PyObject* exc, const char* message);

// Maps the exception being handled to a Python exception. Call only inside
// a catch block, with the interpreter lock held.
void set_python_error_from_current() noexcept;

// PanicException: a direct subclass of BaseException, created once and
// exported by the module as plovik._native.PanicException.
PyObject* panic_exception_type();

// Runs f() and returns its result; on any C++ exception sets the matching
// Python exception and returns `failed`. The one exception let through is
// the forced unwind of pthread_exit, which ends a daemon thread that comes
// back from the engine while the interpreter shuts down (see gil.hpp): it
// must reach the thread's start, so this function is not noexcept either.
// The runtime has no object for that exception and binds the handler's
// reference to null, which the undefined-behaviour sanitizer would report;
// its null check is off here, and the function is never inlined, since a
// caller it were inlined into would carry the check again.
template <class R, class F>
__attribute__((noinline, no_sanitize("null"))) R guard(R failed, F&& f) {
  try {
    return f();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_python_error_from_current();
    return failed;
  }
}

}  // namespace plovik::py
