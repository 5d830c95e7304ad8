// _all_finite(values): the finiteness check of the coordinates the package
// is given, in one parallel pass (src/index/memory/all_finite.hpp).
// _wrap_f32(values): their single-precision copy as the index stores it
// (wrap_to_f32, src/index/write/build.hpp), for the points an exact search
// keeps without tables.
#include "binding/convert/args.hpp"
#include "binding/functions.hpp"
#include "binding/runtime/exceptions.hpp"
#include "binding/runtime/gil.hpp"
#include "binding/runtime/ref.hpp"
#include "index/memory/all_finite.hpp"
#include "index/write/build.hpp"

namespace plovik::py {

PyObject* function_all_finite(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    match_args({"_all_finite", {"values"}, 1}, args, nargs, kwnames, a);
    // Read where they are (a C-contiguous array is not copied).
    const ArrayValues values(to_array(a[0], "values", 2, NPY_FLOAT64));
    const bool finite = without_gil([&] { return all_finite(values.view()); });
    return check(PyBool_FromLong(finite ? 1 : 0));
  });
}

PyObject* function_wrap_f32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    match_args({"_wrap_f32", {"values"}, 1}, args, nargs, kwnames, a);
    const ArrayValues values(to_array(a[0], "values", 2, NPY_FLOAT64));
    auto* in = reinterpret_cast<PyArrayObject*>(a[0]);
    Ref out(check(PyArray_SimpleNew(2, PyArray_DIMS(in), NPY_FLOAT32)));
    auto* dst = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    without_gil([&] {
      const std::span<const double> src = values.view();
      wrap_to_f32(src.data(), dst, src.size());
    });
    return out.release();
  });
}

}  // namespace plovik::py
