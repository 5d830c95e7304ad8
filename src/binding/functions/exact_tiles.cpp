// _exact_tiles(points, metric="l1", weights=None),
// _exact_knn_tiles(tiles, queries, k, exclude_ids=None) and
// _exact_radius_tiles(tiles, queries, radius, exclude_ids=None): the points
// of the exact scan prepared once, in a metric, and the scans over them.
#include <memory>

#include "binding/convert/args.hpp"
#include "binding/convert/metric_input.hpp"
#include "binding/convert/query_input.hpp"
#include "binding/convert/results.hpp"
#include "binding/functions.hpp"
#include "binding/runtime/gil.hpp"
#include "index/exact/exact.hpp"

namespace plovik::py {

namespace {

// Prepared points of the exact scan (ExactTiles) live in a capsule of this
// name: made by _exact_tiles, owned (and freed) by the capsule, only read
// afterwards, so any number of calls may share them.
constexpr const char* tiles_capsule = "plovik._native.ExactTiles";

void free_tiles(PyObject* capsule) {
  std::unique_ptr<ExactTiles> owned(
      static_cast<ExactTiles*>(PyCapsule_GetPointer(capsule, tiles_capsule)));
}

const ExactTiles& tiles_of(PyObject* obj) {
  if (!PyCapsule_IsValid(obj, tiles_capsule))
    raise(PyExc_TypeError, "argument 'tiles': expected the prepared points of _exact_tiles");
  return *static_cast<const ExactTiles*>(check(PyCapsule_GetPointer(obj, tiles_capsule)));
}

}  // namespace

// _exact_tiles(points, metric="l1", weights=None): the points prepared
// once for any number of exact scans (_exact_knn_tiles,
// _exact_radius_tiles) in the metric given, as exact_knn prepares them at
// every call for toroidal L1.
PyObject* function_exact_tiles(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[3];
    match_args({"_exact_tiles", {"points", "metric", "weights"}, 1}, args, nargs, kwnames, a);
    PyArrayObject* points = to_array(a[0], "points", 2, NPY_FLOAT64);
    const std::size_t d = static_cast<std::size_t>(PyArray_DIM(points, 1));
    Metric metric = read_metric(a[1], a[2], d);
    const ArrayValues values(points);
    const PointRows rows{values.view(), static_cast<std::size_t>(PyArray_DIM(points, 0)), d};
    auto tiles = std::make_unique<ExactTiles>(
        without_gil([&] { return exact_tiles(rows, std::move(metric)); }));
    PyObject* capsule = check(PyCapsule_New(tiles.get(), tiles_capsule, free_tiles));
    static_cast<void>(tiles.release());  // the capsule owns them now
    return capsule;
  });
}

// _exact_tiles_nbytes(tiles): the bytes the prepared points hold.
PyObject* function_exact_tiles_nbytes(PyObject*, PyObject* tiles) {
  return guard<PyObject*>(
      nullptr, [&]() -> PyObject* { return check(PyLong_FromSize_t(tiles_of(tiles).nbytes())); });
}

// _exact_knn_tiles(tiles, queries, k, exclude_ids=None): exact_knn over
// prepared points.
PyObject* function_exact_knn_tiles(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4];
    match_args({"_exact_knn_tiles", {"tiles", "queries", "k", "exclude_ids"}, 3}, args, nargs,
               kwnames, a);
    const ExactTiles& tiles = tiles_of(a[0]);
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    const std::size_t k = to_usize(a[2], "k");
    PyArrayObject* exclude_ids = to_exclude_ids(a[3]);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_exact_knn(tiles.d, sizes.m, sizes.dq, sizes.n_exclude, k);
    const QueryInput in = read_queries(queries, exclude_ids);
    ExactKnnResult r = without_gil([&] { return exact_knn(tiles, in.batch(), k); });
    return knn_rows(std::move(r.idx), std::move(r.dist), in.m, k);
  });
}

// _exact_tiles_reach(tiles, queries, limits): exact_reach, (m,) int64.
PyObject* function_exact_tiles_reach(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[3];
    match_args({"_exact_tiles_reach", {"tiles", "queries", "limits"}, 3}, args, nargs, kwnames, a);
    const ExactTiles& tiles = tiles_of(a[0]);
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    PyArrayObject* limits = to_array(a[2], "limits", 1, NPY_FLOAT64);
    const QuerySizes sizes = query_sizes(queries, nullptr);
    validate_exact(tiles.d, sizes.m, sizes.dq, sizes.n_exclude);
    const QueryInput in = read_queries(queries, nullptr);
    const std::span<const double> values(static_cast<const double*>(PyArray_DATA(limits)),
                                         static_cast<std::size_t>(PyArray_DIM(limits, 0)));
    Array<int64_t> r = without_gil([&] { return exact_reach(tiles, in.batch(), values); });
    return hand_over(std::move(r));
  });
}

// _exact_radius_tiles(tiles, queries, radius, exclude_ids=None):
// exact_radius over prepared points.
PyObject* function_exact_radius_tiles(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4];
    match_args({"_exact_radius_tiles", {"tiles", "queries", "radius", "exclude_ids"}, 3}, args,
               nargs, kwnames, a);
    const ExactTiles& tiles = tiles_of(a[0]);
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    const double radius = to_f64(a[2], "radius");
    PyArrayObject* exclude_ids = to_exclude_ids(a[3]);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_exact(tiles.d, sizes.m, sizes.dq, sizes.n_exclude);
    const QueryInput in = read_queries(queries, exclude_ids);
    RadiusResult r = without_gil([&] { return exact_radius(tiles, in.batch(), radius); });
    return radius_rows(std::move(r.indptr), std::move(r.ids), std::move(r.dists));
  });
}

}  // namespace plovik::py
