// An owned reference to a Python object, released on scope exit.
#pragma once

#include <utility>

#include "binding/runtime/exceptions.hpp"

namespace plovik::py {

class Ref {
 public:
  Ref() = default;
  // Takes ownership of a new reference; throws PythonError when it is NULL.
  explicit Ref(PyObject* owned) : p_(check(owned)) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace plovik::py
