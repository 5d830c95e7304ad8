// The read-only properties n_points, n_static, n_candidates, n_retired,
// nbytes and nbytes_by_part.
#include <utility>

#include "binding/access.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/ref.hpp"

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

PyObject* get_nbytes(PyObject* self, void*) {
  return read_size(self, [](const Index& ix) { return index_bytes(ix).total(); });
}

PyObject* get_nbytes_by_part(PyObject* self, void*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    const IndexBytes bytes = index_bytes(access.record());
    Ref dict(PyDict_New());
    const std::pair<const char*, std::size_t> parts[] = {{"coordinates", bytes.coordinates},
                                                         {"ids", bytes.ids},
                                                         {"directories", bytes.directories},
                                                         {"reuse", bytes.reuse}};
    for (const auto& [name, value] : parts) {
      Ref number(PyLong_FromSize_t(value));
      check(PyDict_SetItemString(dict.get(), name, number.get()));
    }
    return dict.release();
  });
}

PyObject* get_n_retired(PyObject* self, void*) {
  return read_size(self, [](const Index& ix) { return ix.retired.count; });
}

}  // namespace plovik::py
