// The Python object that holds an index: the standard header, the engine
// record stored inline, then the borrow state.
#pragma once

#include <atomic>

#include "binding/runtime/python.hpp"
#include "index/record.hpp"

namespace plovik::py {

struct IndexObject {
  PyObject_HEAD
  Index record;
  // 0 free, n > 0 shared holders, -1 one exclusive holder.
  std::atomic<Py_ssize_t> borrow;
};

// The RustLshIndex class, created on first use and cached for the process.
PyObject* index_type();

// obj when it is a RustLshIndex; else TypeError.
PyObject* to_index(PyObject* obj);

}  // namespace plovik::py
