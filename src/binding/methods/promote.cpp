// RustLshIndex.promote(new_candidates)
#include "binding/access.hpp"
#include "binding/convert/args.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/gil.hpp"
#include "index/write/promote.hpp"

namespace plovik::py {

PyObject* method_promote(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    match_args({"RustLshIndex.promote", {"new_candidates"}, 1}, args, nargs, kwnames, a);
    ExclusiveAccess access(reinterpret_cast<IndexObject*>(self));
    ReuseScope reuse(access.record().reuse);
    PyArrayObject* rows = to_array(a[0], "new_candidates", 2, NPY_FLOAT64);
    const auto m = static_cast<std::size_t>(PyArray_DIM(rows, 0));
    const auto width = static_cast<std::size_t>(PyArray_DIM(rows, 1));
    validate_promote(access.record(), m, width);
    ArrayValues values(rows);
    without_gil([&] { promote(access.record(), values.take(), m, width); });
    Py_RETURN_NONE;
  });
}

}  // namespace plovik::py
