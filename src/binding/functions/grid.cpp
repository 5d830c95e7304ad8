// _grid_tier, _grid_radius, _grid_knn and _grid_pairs: the grid searches
// (src/index/grid).
#include <cstring>
#include <memory>
#include <vector>

#include "binding/convert/args.hpp"
#include "binding/convert/metric_input.hpp"
#include "binding/convert/query_input.hpp"
#include "binding/convert/results.hpp"
#include "binding/functions.hpp"
#include "binding/runtime/exceptions.hpp"
#include "binding/runtime/gil.hpp"
#include "binding/runtime/ref.hpp"
#include "index/grid/grid.hpp"
#include "index/grid/pairs.hpp"

namespace plovik::py {

namespace {

// A tier of a grid lives in a capsule of this name: made by _grid_tier,
// owned (and freed) by the capsule, only read afterwards, so any number of
// calls may share it.
constexpr const char* tier_capsule = "plovik._native.GridTier";

void free_tier(PyObject* capsule) {
  std::unique_ptr<GridTier> owned(
      static_cast<GridTier*>(PyCapsule_GetPointer(capsule, tier_capsule)));
}

// The tiers argument: a tuple or list of capsules of _grid_tier. The
// capsules stay referenced by the caller's sequence for the whole call.
std::vector<const GridTier*> tiers_of(PyObject* obj) {
  if (!PyTuple_Check(obj) && !PyList_Check(obj))
    raise(PyExc_TypeError, "argument 'tiers': expected a tuple or list of the tiers of _grid_tier");
  Ref seq(check(PySequence_Fast(obj, "argument 'tiers': expected a sequence")));
  const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<const GridTier*> out;
  for (Py_ssize_t i = 0; i < len; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyCapsule_IsValid(item, tier_capsule))
      raise(PyExc_TypeError, "argument 'tiers': expected the tiers of _grid_tier");
    out.push_back(static_cast<const GridTier*>(check(PyCapsule_GetPointer(item, tier_capsule))));
  }
  validate_grid_tiers(out);
  return out;
}

// cells: a tuple or list of non-negative integers, one per coordinate.
std::vector<std::size_t> cells_of(PyObject* obj) {
  if (!PyTuple_Check(obj) && !PyList_Check(obj))
    raise(PyExc_TypeError, "argument 'cells': expected a tuple or list of integers");
  Ref seq(check(PySequence_Fast(obj, "argument 'cells': expected a sequence")));
  const Py_ssize_t len = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<std::size_t> out;
  out.reserve(static_cast<std::size_t>(len));
  for (Py_ssize_t i = 0; i < len; ++i)
    out.push_back(to_usize(PySequence_Fast_GET_ITEM(seq.get(), i), "cells"));
  return out;
}

}  // namespace

// _grid_tier(points, cells, ids=None, metric="l1", weights=None): the
// points ((n, d) float64) wrapped, rounded to single precision and
// counting-sorted into a grid of cells[a] cells along axis a; point i has
// id ids[i] (default i); distances in the metric (read_metric).
PyObject* function_grid_tier(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[5];
    match_args({"_grid_tier", {"points", "cells", "ids", "metric", "weights"}, 2}, args, nargs,
               kwnames, a);
    PyArrayObject* points = to_array(a[0], "points", 2, NPY_FLOAT64);
    const std::vector<std::size_t> cells = cells_of(a[1]);
    PyArrayObject* ids =
        a[2] == nullptr || a[2] == Py_None ? nullptr : to_array(a[2], "ids", 1, NPY_INT64);
    const auto n = static_cast<std::size_t>(PyArray_DIM(points, 0));
    const auto d = static_cast<std::size_t>(PyArray_DIM(points, 1));
    grid_cell_total(d, cells);
    Metric metric = read_metric(a[3], a[4], d);
    if (ids != nullptr && static_cast<std::size_t>(PyArray_SIZE(ids)) != n)
      raise(PyExc_ValueError, "ids must hold one id per point");
    const ArrayValues values(points);
    Array<int64_t> id_values;
    if (ids != nullptr) id_values = read_array<int64_t>(ids);
    auto tier = std::make_unique<GridTier>(without_gil([&] {
      return grid_tier(PointRows{values.view(), n, d}, id_values, cells, std::move(metric));
    }));
    PyObject* capsule = check(PyCapsule_New(tier.get(), tier_capsule, free_tier));
    static_cast<void>(tier.release());  // the capsule owns it now
    return capsule;
  });
}

// _grid_radius(tiers, queries, radius, exclude_ids=None, shifts=False):
// exact_radius over the points of the tiers, by their ids; with shifts the
// (nnz, d) int32 image shifts too.
PyObject* function_grid_radius(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[5];
    match_args({"_grid_radius", {"tiers", "queries", "radius", "exclude_ids", "shifts"}, 3}, args,
               nargs, kwnames, a);
    const std::vector<const GridTier*> tiers = tiers_of(a[0]);
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    const double radius = to_f64(a[2], "radius");
    PyArrayObject* exclude_ids = to_exclude_ids(a[3]);
    const int shifts = a[4] == nullptr ? 0 : PyObject_IsTrue(a[4]);
    check(shifts);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_exact(tiers[0]->d, sizes.m, sizes.dq, sizes.n_exclude);
    const QueryInput in = read_queries(queries, exclude_ids);
    Array<int32_t> shift_values;
    RadiusResult r = without_gil([&] {
      return grid_radius(tiers, in.batch(), radius, shifts != 0 ? &shift_values : nullptr);
    });
    const auto entries = static_cast<npy_intp>(r.ids.size());
    Ref indptr(hand_over(std::move(r.indptr)));
    Ref ids(hand_over(std::move(r.ids)));
    Ref dists(hand_over(std::move(r.dists)));
    if (shifts == 0) return PyTuple_Pack(3, indptr.get(), ids.get(), dists.get());
    npy_intp dims[2] = {entries, static_cast<npy_intp>(tiers[0]->d)};
    Ref shift(check(PyArray_SimpleNew(2, dims, NPY_INT32)));
    if (!shift_values.empty())
      std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(shift.get())), shift_values.data(),
                  shift_values.size() * sizeof(int32_t));
    return PyTuple_Pack(4, indptr.get(), ids.get(), dists.get(), shift.get());
  });
}

// _grid_knn(tiers, queries, k, exclude_ids=None): exact_knn over the
// points of the tiers, by their ids.
PyObject* function_grid_knn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4];
    match_args({"_grid_knn", {"tiers", "queries", "k", "exclude_ids"}, 3}, args, nargs, kwnames, a);
    const std::vector<const GridTier*> tiers = tiers_of(a[0]);
    PyArrayObject* queries = to_array(a[1], "queries", 2, NPY_FLOAT64);
    const std::size_t k = to_usize(a[2], "k");
    PyArrayObject* exclude_ids = to_exclude_ids(a[3]);
    const QuerySizes sizes = query_sizes(queries, exclude_ids);
    validate_exact_knn(tiers[0]->d, sizes.m, sizes.dq, sizes.n_exclude, k);
    const QueryInput in = read_queries(queries, exclude_ids);
    ExactKnnResult r = without_gil([&] { return grid_knn(tiers, in.batch(), k); });
    return knn_rows(std::move(r.idx), std::move(r.dist), in.m, k);
  });
}

// _grid_pairs(tiers, radius, shifts=False, by_distance=True, both=False):
// the half list (i, j, dist, shift) of the tiers' points, shift a (p, d)
// int32 array or None; with both, the full list (indptr, j, dist, shift).
PyObject* function_grid_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[5];
    match_args({"_grid_pairs", {"tiers", "radius", "shifts", "by_distance", "both"}, 2}, args,
               nargs, kwnames, a);
    const std::vector<const GridTier*> tiers = tiers_of(a[0]);
    const double radius = to_f64(a[1], "radius");
    const int shifts = a[2] == nullptr ? 0 : PyObject_IsTrue(a[2]);
    check(shifts);
    const int by_distance = a[3] == nullptr ? 1 : PyObject_IsTrue(a[3]);
    check(by_distance);
    const int both = a[4] == nullptr ? 0 : PyObject_IsTrue(a[4]);
    check(both);
    GridPairs r = without_gil(
        [&] { return grid_pairs(tiers, radius, shifts != 0, by_distance != 0, both != 0); });
    Ref shift;
    if (shifts) {
      npy_intp dims[2] = {static_cast<npy_intp>(r.j.size()), static_cast<npy_intp>(tiers[0]->d)};
      shift = Ref(check(PyArray_SimpleNew(2, dims, NPY_INT32)));
      if (!r.shift.empty())
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(shift.get())), r.shift.data(),
                    r.shift.size() * sizeof(int32_t));
    } else {
      shift = Ref(Py_NewRef(Py_None));
    }
    Ref i(hand_over(std::move(both ? r.indptr : r.i)));
    Ref j(hand_over(std::move(r.j)));
    Ref dist(hand_over(std::move(r.dist)));
    return PyTuple_Pack(4, i.get(), j.get(), dist.get(), shift.get());
  });
}

}  // namespace plovik::py
