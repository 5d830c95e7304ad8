// RustLshIndex.reset_stats()
#include "binding/access.hpp"
#include "binding/methods.hpp"
#include "index/query/stats.hpp"

namespace plovik::py {

PyObject* method_reset_stats(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    reset_stats(access.record());
    Py_RETURN_NONE;
  });
}

}  // namespace plovik::py
