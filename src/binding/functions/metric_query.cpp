// _query_knn_metric and _query_radius_metric: the hash index's candidates
// answered in a metric (src/index/metric_query). The raw class and its
// methods stay toroidal L1.
#include "binding/access.hpp"
#include "binding/convert/args.hpp"
#include "binding/convert/metric_input.hpp"
#include "binding/convert/query_input.hpp"
#include "binding/convert/results.hpp"
#include "binding/functions.hpp"
#include "binding/index_object.hpp"
#include "binding/runtime/gil.hpp"
#include "index/metric_query/metric_query.hpp"

namespace plovik::py {

namespace {

// The metric of a built index: read_metric against its d (an index never
// built takes any weights; it answers nothing).
Metric index_metric(const Index& ix, PyObject* name, PyObject* weights) {
  if (ix.d != 0) return read_metric(name, weights, ix.d);
  Metric metric = read_metric(name, nullptr, 0);
  if (weights != nullptr && weights != Py_None) {
    const Array<double> values = read_array<double>(to_array(weights, "weights", 1, NPY_FLOAT64));
    for (const double w : values) metric.weights.push_back(static_cast<float>(w));
  }
  return metric;
}

}  // namespace

// _query_knn_metric(index, queries, k, metric="l1", weights=None,
// exclude_ids=None, probes=None)
PyObject* function_query_knn_metric(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[7] = {};
    match_args({"_query_knn_metric",
                {"index", "queries", "k", "metric", "weights", "exclude_ids", "probes"},
                3},
               args, nargs, kwnames, a);
    SharedAccess access(reinterpret_cast<IndexObject*>(to_index(a[0])));
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    const std::size_t k = to_usize(a[2], "k");
    const Metric metric = index_metric(access.record(), a[3], a[4]);
    PyArrayObject* exclude_ids = to_exclude_ids(a[5]);
    const std::optional<std::size_t> probes = to_probes(a[6]);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_metric_knn(access.record(), metric, sizes.m, sizes.dq, sizes.n_exclude, k);
    const QueryInput in = read_queries(queries, exclude_ids, probes);
    KnnResult r =
        without_gil([&] { return query_knn_metric(access.record(), in.batch(), k, metric); });
    return knn_rows(std::move(r.idx), std::move(r.dist), in.m, k);
  });
}

// _query_radius_metric(index, queries, radius, metric="l1", weights=None,
// exclude_ids=None, probes=None)
PyObject* function_query_radius_metric(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[7] = {};
    match_args({"_query_radius_metric",
                {"index", "queries", "radius", "metric", "weights", "exclude_ids", "probes"},
                3},
               args, nargs, kwnames, a);
    SharedAccess access(reinterpret_cast<IndexObject*>(to_index(a[0])));
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    const double radius = to_f64(a[2], "radius");
    const Metric metric = index_metric(access.record(), a[3], a[4]);
    PyArrayObject* exclude_ids = to_exclude_ids(a[5]);
    const std::optional<std::size_t> probes = to_probes(a[6]);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_metric_radius(access.record(), metric, sizes.m, sizes.dq, sizes.n_exclude);
    const QueryInput in = read_queries(queries, exclude_ids, probes);
    RadiusResult r = without_gil(
        [&] { return query_radius_metric(access.record(), in.batch(), radius, metric); });
    return radius_rows(std::move(r.indptr), std::move(r.ids), std::move(r.dists));
  });
}

}  // namespace plovik::py
