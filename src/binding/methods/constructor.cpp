// RustLshIndex(b, k, l, probes, s, u, block=1024)
#include <memory>

#include "binding/access.hpp"
#include "binding/convert/args.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/ref.hpp"
#include "index/write/construct.hpp"

namespace plovik::py {

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[7];
    match_args({"RustLshIndex", {"b", "k", "l", "probes", "s", "u", "block"}, 6}, args, kwargs, a);
    const int64_t b = to_i64(a[0], "b");
    const std::size_t k = to_usize(a[1], "k");
    const std::size_t l = to_usize(a[2], "l");
    const std::size_t probes = to_usize(a[3], "probes");
    PyArrayObject* s = to_array(a[4], "s", 2, NPY_INT64);
    PyArrayObject* u = to_array(a[5], "u", 2, NPY_FLOAT64);
    const std::size_t block = a[6] ? to_usize(a[6], "block") : 1024;

    const npy_intp* ss = PyArray_DIMS(s);
    const npy_intp* us = PyArray_DIMS(u);
    if (static_cast<std::size_t>(ss[0]) != l || static_cast<std::size_t>(ss[1]) != k ||
        us[0] != ss[0] || us[1] != ss[1])
      raise(PyExc_ValueError, "S and U must have shape (L, K)");
    Array<int64_t> s_values = read_array<int64_t>(s);
    Array<double> u_values = read_array<double>(u);

    Ref self(type->tp_alloc(type, 0));
    auto* obj = reinterpret_cast<IndexObject*>(self.get());
    std::construct_at(&obj->record);
    std::construct_at(&obj->borrow, 0);
    // From here the object's dealloc owns the record.
    construct(obj->record, b, k, l, probes, block, std::move(s_values), std::move(u_values));
    return self.release();
  });
}

}  // namespace plovik::py
