// RustLshIndex.query_radius(queries, radius, exclude_ids=None), and the
// module's _query_radius(index, queries, radius, exclude_ids=None,
// probes=None), the same call with the probes of this call.
#include "binding/access.hpp"
#include "binding/convert/query_input.hpp"
#include "binding/convert/results.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/gil.hpp"
#include "index/query/radius.hpp"

namespace plovik::py {

namespace {

// a: queries, radius, exclude_ids, probes (the last two may be null).
PyObject* run_query_radius(PyObject* self, PyObject* const* a) {
  SharedAccess access(reinterpret_cast<IndexObject*>(self));
  PyArrayObject* queries = to_array(a[0], "queries", 2, NPY_FLOAT64);
  const double radius = to_f64(a[1], "radius");
  PyArrayObject* exclude_ids = to_exclude_ids(a[2]);
  const std::optional<std::size_t> probes = to_probes(a[3]);
  const QuerySizes sizes = query_sizes(queries, exclude_ids);
  validate_query_radius(access.record(), sizes.m, sizes.dq, sizes.n_exclude);
  const QueryInput in = read_queries(queries, exclude_ids, probes);
  RadiusResult r = without_gil([&] { return query_radius(access.record(), in.batch(), radius); });
  return radius_rows(std::move(r.indptr), std::move(r.ids), std::move(r.dists));
}

}  // namespace

PyObject* method_query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4] = {};
    match_args({"RustLshIndex.query_radius", {"queries", "radius", "exclude_ids"}, 2}, args, nargs,
               kwnames, a);
    return run_query_radius(self, a);
  });
}

PyObject* function_query_radius(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[5] = {};
    match_args({"_query_radius", {"index", "queries", "radius", "exclude_ids", "probes"}, 3}, args,
               nargs, kwnames, a);
    return run_query_radius(to_index(a[0]), a + 1);
  });
}

}  // namespace plovik::py
