// RustLshIndex.build(points, n_static)
#include "binding/access.hpp"
#include "binding/convert/args.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/gil.hpp"
#include "index/write/build.hpp"

namespace plovik::py {

PyObject* method_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    match_args({"RustLshIndex.build", {"points", "n_static"}, 2}, args, nargs, kwnames, a);
    ExclusiveAccess access(reinterpret_cast<IndexObject*>(self));
    ReuseScope reuse(access.record().reuse);
    PyArrayObject* points = to_array(a[0], "points", 2, NPY_FLOAT64);
    const std::size_t n_static = to_usize(a[1], "n_static");
    const auto n = static_cast<std::size_t>(PyArray_DIM(points, 0));
    const auto d = static_cast<std::size_t>(PyArray_DIM(points, 1));
    validate_build(access.record(), n, d, n_static);
    ArrayValues values(points, coords_room(static_cast<std::size_t>(PyArray_SIZE(points))));
    without_gil([&] { build(access.record(), values.take(), n, d, n_static); });
    Py_RETURN_NONE;
  });
}

}  // namespace plovik::py
