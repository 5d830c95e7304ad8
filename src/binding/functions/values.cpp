// _all_finite(values): the finiteness check of the coordinates the package
// is given, in one parallel pass (src/index/memory/all_finite.hpp).
#include "binding/convert/args.hpp"
#include "binding/functions.hpp"
#include "binding/runtime/exceptions.hpp"
#include "binding/runtime/gil.hpp"
#include "index/memory/all_finite.hpp"

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

}  // namespace plovik::py
