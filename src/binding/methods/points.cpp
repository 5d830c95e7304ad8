// RustLshIndex.points()
#include <cstring>

#include "binding/access.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/ref.hpp"

namespace plovik::py {

PyObject* method_points(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    const Index& ix = access.record();
    npy_intp dims[2] = {static_cast<npy_intp>(ix.n_points), static_cast<npy_intp>(ix.d)};
    Ref array(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
    const std::size_t count = ix.n_points * ix.d;
    if (count != 0)
      std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), ix.coords_f32.data(),
                  count * sizeof(float));
    return array.release();
  });
}

}  // namespace plovik::py
