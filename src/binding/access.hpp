// The per-object access rule: many shared holders or one exclusive holder.
// Conflicts fail at once with RuntimeError; nobody waits.
#pragma once

#include "binding/index_object.hpp"
#include "binding/runtime/exceptions.hpp"

namespace plovik::py {

class SharedAccess {
 public:
  explicit SharedAccess(IndexObject* obj) : obj_(obj) {
    Py_ssize_t state = obj->borrow.load(std::memory_order_relaxed);
    do {
      if (state == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!obj->borrow.compare_exchange_weak(state, state + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed));
  }
  ~SharedAccess() { obj_->borrow.fetch_sub(1, std::memory_order_release); }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;
  const Index& record() const { return obj_->record; }

 private:
  IndexObject* obj_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(IndexObject* obj) : obj_(obj) {
    Py_ssize_t expected = 0;
    if (!obj->borrow.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                             std::memory_order_relaxed))
      raise(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveAccess() { obj_->borrow.store(0, std::memory_order_release); }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
  Index& record() const { return obj_->record; }

 private:
  IndexObject* obj_;
};

}  // namespace plovik::py
