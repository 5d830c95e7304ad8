// RustLshIndex.update(coords)
#include "binding/access.hpp"
#include "binding/convert/args.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/gil.hpp"
#include "index/write/update.hpp"

namespace plovik::py {

PyObject* method_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    match_args({"RustLshIndex.update", {"coords"}, 1}, args, nargs, kwnames, a);
    ExclusiveAccess access(reinterpret_cast<IndexObject*>(self));
    ReuseScope reuse(access.record().reuse);
    PyArrayObject* coords = to_array(a[0], "coords", 2, NPY_FLOAT64);
    validate_update(access.record(), static_cast<std::size_t>(PyArray_SIZE(coords)));
    ArrayValues values(coords);
    without_gil([&] { update(access.record(), values.take()); });
    Py_RETURN_NONE;
  });
}

}  // namespace plovik::py
