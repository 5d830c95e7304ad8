// RustLshIndex.reset_stats()
#include "binding/access.hpp"
#include "binding/methods.hpp"

namespace plovik::py {

PyObject* method_reset_stats(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    access.record().counters.reset();
    Py_RETURN_NONE;
  });
}

}  // namespace plovik::py
