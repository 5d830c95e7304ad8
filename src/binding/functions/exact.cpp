// exact_knn(points, queries, k, exclude_ids=None) and
// exact_radius(points, queries, radius, exclude_ids=None): the exact
// searches by brute force (src/index/exact), with the argument rules of the
// index methods.
#include "binding/convert/args.hpp"
#include "binding/convert/query_input.hpp"
#include "binding/convert/results.hpp"
#include "binding/functions.hpp"
#include "binding/runtime/gil.hpp"
#include "index/exact/exact.hpp"

namespace plovik::py {

namespace {

// The points and queries of an exact search, read in place when they are
// C-contiguous and aligned (the scan copies them into its own layout with
// the interpreter lock released), copied first otherwise; exclude_ids
// copied.
struct ExactInput {
  ArrayValues points;
  ArrayValues queries;
  std::optional<Array<int64_t>> exclude;
  std::size_t n, d, m;

  ExactInput(PyArrayObject* p, PyArrayObject* q, PyArrayObject* ex)
      : points(p),
        queries(q),
        n(static_cast<std::size_t>(PyArray_DIM(p, 0))),
        d(static_cast<std::size_t>(PyArray_DIM(p, 1))),
        m(static_cast<std::size_t>(PyArray_DIM(q, 0))) {
    if (ex != nullptr) exclude = read_array<int64_t>(ex);
  }
  PointRows point_rows() const { return {points.view(), n, d}; }
  QueryBatch batch() const {
    QueryBatch b{queries.view(), m, d, std::nullopt};
    if (exclude) b.exclude = std::span<const int64_t>(*exclude);
    return b;
  }
};

}  // namespace

PyObject* function_exact_knn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4];
    match_args({"exact_knn", {"points", "queries", "k", "exclude_ids"}, 3}, args, nargs, kwnames,
               a);
    PyArrayObject* points = to_array(a[0], "points", 2, NPY_FLOAT64);
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    const std::size_t k = to_usize(a[2], "k");
    PyArrayObject* exclude_ids = to_exclude_ids(a[3]);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_exact_knn(static_cast<std::size_t>(PyArray_DIM(points, 1)), sizes.m, sizes.dq,
                       sizes.n_exclude, k);
    const ExactInput in(points, queries, exclude_ids);
    ExactKnnResult r = without_gil([&] { return exact_knn(in.point_rows(), in.batch(), k); });
    return knn_rows(std::move(r.idx), std::move(r.dist), in.m, k);
  });
}

PyObject* function_exact_radius(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4];
    match_args({"exact_radius", {"points", "queries", "radius", "exclude_ids"}, 3}, args, nargs,
               kwnames, a);
    PyArrayObject* points = to_array(a[0], "points", 2, NPY_FLOAT64);
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    const double radius = to_f64(a[2], "radius");
    PyArrayObject* exclude_ids = to_exclude_ids(a[3]);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_exact(static_cast<std::size_t>(PyArray_DIM(points, 1)), sizes.m, sizes.dq,
                   sizes.n_exclude);
    const ExactInput in(points, queries, exclude_ids);
    RadiusResult r = without_gil([&] { return exact_radius(in.point_rows(), in.batch(), radius); });
    return radius_rows(std::move(r.indptr), std::move(r.ids), std::move(r.dists));
  });
}

}  // namespace plovik::py
