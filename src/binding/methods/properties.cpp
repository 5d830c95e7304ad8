// The read-only properties n_points, n_static, n_candidates and n_retired.
#include "binding/access.hpp"
#include "binding/methods.hpp"

namespace plovik::py {

namespace {

template <class F>
PyObject* read_size(PyObject* self, F&& field) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    return PyLong_FromSize_t(field(access.record()));
  });
}

}  // namespace

PyObject* get_n_points(PyObject* self, void*) {
  return read_size(self, [](const Index& ix) { return ix.n_points; });
}

PyObject* get_n_static(PyObject* self, void*) {
  return read_size(self, [](const Index& ix) { return ix.n_static; });
}

PyObject* get_n_candidates(PyObject* self, void*) {
  return read_size(self, [](const Index& ix) { return ix.n_cand(); });
}

PyObject* get_n_retired(PyObject* self, void*) {
  return read_size(self, [](const Index& ix) { return ix.retired.count; });
}

}  // namespace plovik::py
