// RustLshIndex.query_radius(queries, radius, exclude_ids=None, *, probes=None)
#include "binding/access.hpp"
#include "binding/gil.hpp"
#include "binding/methods.hpp"
#include "binding/query_input.hpp"
#include "binding/ref.hpp"
#include "binding/results.hpp"
#include "index/query/radius.hpp"

namespace plovik::py {

PyObject* method_query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4];
    match_args({"RustLshIndex.query_radius", {"queries", "radius", "exclude_ids", "probes"}, 2, 1},
               args, nargs, kwnames, a);
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    PyArrayObject* queries = to_array(a[0], "queries", 2, NPY_FLOAT64);
    const double radius = to_f64(a[1], "radius");
    PyArrayObject* exclude_ids = to_exclude_ids(a[2]);
    const std::optional<std::size_t> probes = to_probes(a[3]);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_query_radius(access.record(), sizes.m, sizes.dq, sizes.n_exclude);
    const QueryInput in = read_queries(queries, exclude_ids, probes);
    RadiusResult r = without_gil([&] { return query_radius(access.record(), in.batch(), radius); });
    Ref indptr(hand_over(std::move(r.indptr)));
    Ref ids(hand_over(std::move(r.ids)));
    Ref dists(hand_over(std::move(r.dists)));
    return PyTuple_Pack(3, indptr.get(), ids.get(), dists.get());
  });
}

}  // namespace plovik::py
