// RustLshIndex.retire(ids)
#include "binding/access.hpp"
#include "binding/convert/args.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/gil.hpp"
#include "index/write/retire.hpp"

namespace plovik::py {

PyObject* method_retire(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    match_args({"RustLshIndex.retire", {"ids"}, 1}, args, nargs, kwnames, a);
    ExclusiveAccess access(reinterpret_cast<IndexObject*>(self));
    PyArrayObject* arr = to_array(a[0], "ids", 1, NPY_INT64);
    const Array<int64_t> ids = read_array<int64_t>(arr);
    without_gil([&] { retire(access.record(), ids); });
    Py_RETURN_NONE;
  });
}

}  // namespace plovik::py
