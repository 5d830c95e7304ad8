#include "binding/functions.hpp"

#include <memory>

#include "binding/args.hpp"
#include "binding/docstrings.hpp"
#include "binding/gil.hpp"
#include "binding/methods.hpp"
#include "binding/metric_input.hpp"
#include "binding/query_input.hpp"
#include "binding/ref.hpp"
#include "binding/results.hpp"
#include "binding/tuning.hpp"
#include "index/checksum/crc32c.hpp"
#include "index/exact/exact.hpp"
#include "parallel/pool.hpp"

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
    const auto rows = static_cast<npy_intp>(in.m), cols = static_cast<npy_intp>(k);
    Ref idx(reshape(hand_over(std::move(r.idx)), rows, cols));
    Ref dist(reshape(hand_over(std::move(r.dist)), rows, cols));
    return PyTuple_Pack(2, idx.get(), dist.get());
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
    Ref indptr(hand_over(std::move(r.indptr)));
    Ref ids(hand_over(std::move(r.ids)));
    Ref dists(hand_over(std::move(r.dists)));
    return PyTuple_Pack(3, indptr.get(), ids.get(), dists.get());
  });
}

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
    const auto rows = static_cast<npy_intp>(in.m), cols = static_cast<npy_intp>(k);
    Ref idx(reshape(hand_over(std::move(r.idx)), rows, cols));
    Ref dist(reshape(hand_over(std::move(r.dist)), rows, cols));
    return PyTuple_Pack(2, idx.get(), dist.get());
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
    Ref indptr(hand_over(std::move(r.indptr)));
    Ref ids(hand_over(std::move(r.ids)));
    Ref dists(hand_over(std::move(r.dists)));
    return PyTuple_Pack(3, indptr.get(), ids.get(), dists.get());
  });
}

// _set_thread_limit(limit, process=False): the workers of the calls this
// thread makes from now on (or, with process true, of every call), 0 for no
// limit; returns the limit replaced. plovik.threads wraps these.
PyObject* function_set_thread_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    match_args({"_set_thread_limit", {"limit", "process"}, 1}, args, nargs, kwnames, a);
    const std::size_t limit = to_usize(a[0], "limit");
    const int process = a[1] == nullptr ? 0 : PyObject_IsTrue(a[1]);
    check(process);
    const std::size_t previous =
        process ? parallel::set_process_thread_limit(limit) : parallel::set_thread_limit(limit);
    return check(PyLong_FromSize_t(previous));
  });
}

// _thread_count(): the workers a call made now from this thread would use.
PyObject* function_thread_count(PyObject*, PyObject*) {
  return guard<PyObject*>(
      nullptr, [&]() -> PyObject* { return check(PyLong_FromSize_t(parallel::thread_count())); });
}

// A read-only view of an object's bytes through the buffer protocol,
// released when it goes out of scope.
struct BufferView {
  Py_buffer view{};
  bool held = false;
  explicit BufferView(PyObject* obj) {
    check(PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO));
    held = true;
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held) PyBuffer_Release(&view);
  }
};

// Buffers from this size on are checksummed with the interpreter lock
// released (below it the release costs more than it lets others run).
constexpr Py_ssize_t kCrcUnlockBytes = 1 << 16;

// crc32c(data, value=0): the CRC-32C of a C-contiguous buffer, continuing
// from `value`.
PyObject* function_crc32c(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    match_args({"crc32c", {"data", "value"}, 1}, args, nargs, kwnames, a);
    std::uint32_t value = 0;
    if (a[1] != nullptr) {
      PyObject* index = PyNumber_Index(a[1]);  // TypeError for a float or str
      if (index == nullptr) throw PythonError{};
      Ref owned(index);
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
      if (v == -1 && PyErr_Occurred()) throw PythonError{};
      if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL)
        raise(PyExc_ValueError, "crc32c: value must be in [0, 2**32)");
      value = static_cast<std::uint32_t>(v);
    }
    const BufferView buffer(a[0]);
    if (!PyBuffer_IsContiguous(&buffer.view, 'C'))
      raise(PyExc_ValueError, "crc32c: data must be a C-contiguous buffer");
    const void* data = buffer.view.buf;
    const auto n = static_cast<std::size_t>(buffer.view.len);
    const std::uint32_t crc = buffer.view.len >= kCrcUnlockBytes
                                  ? without_gil([&] { return crc32c(value, data, n); })
                                  : crc32c(value, data, n);
    return check(PyLong_FromUnsignedLong(crc));
  });
}

}  // namespace

// The process-wide worker count as the thread-pool tools that scan a
// process's shared libraries read and set it (threadpoolctl; plovik.threads
// registers the controller): plain C symbols, exported from the module.
extern "C" __attribute__((visibility("default"))) int plovik_get_num_threads() {
  const std::size_t pool = parallel::pool_thread_count();
  const std::size_t limit = parallel::process_thread_limit();
  return static_cast<int>(limit != 0 && limit < pool ? limit : pool);
}

extern "C" __attribute__((visibility("default"))) void plovik_set_num_threads(int n) {
  parallel::set_process_thread_limit(n > 0 ? static_cast<std::size_t>(n) : 0);
}

PyMethodDef module_functions[] = {
    {"exact_knn", PLOVIK_FASTCALL(function_exact_knn), METH_FASTCALL | METH_KEYWORDS,
     doc::exact_knn},
    {"exact_radius", PLOVIK_FASTCALL(function_exact_radius), METH_FASTCALL | METH_KEYWORDS,
     doc::exact_radius},
    {"_exact_tiles", PLOVIK_FASTCALL(function_exact_tiles), METH_FASTCALL | METH_KEYWORDS,
     doc::exact_tiles},
    {"_exact_knn_tiles", PLOVIK_FASTCALL(function_exact_knn_tiles), METH_FASTCALL | METH_KEYWORDS,
     doc::exact_knn_tiles},
    {"_exact_radius_tiles", PLOVIK_FASTCALL(function_exact_radius_tiles),
     METH_FASTCALL | METH_KEYWORDS, doc::exact_radius_tiles},
    {"_query_knn", PLOVIK_FASTCALL(function_query_knn), METH_FASTCALL | METH_KEYWORDS,
     doc::query_knn_probes},
    {"_query_radius", PLOVIK_FASTCALL(function_query_radius), METH_FASTCALL | METH_KEYWORDS,
     doc::query_radius_probes},
    {"_probe_keys", PLOVIK_FASTCALL(function_probe_keys), METH_FASTCALL | METH_KEYWORDS,
     doc::probe_keys},
    {"_candidate_counts", PLOVIK_FASTCALL(function_candidate_counts), METH_FASTCALL | METH_KEYWORDS,
     doc::candidate_counts},
    {"_neighbour_hits", PLOVIK_FASTCALL(function_neighbour_hits), METH_FASTCALL | METH_KEYWORDS,
     doc::neighbour_hits},
    {"_spread", PLOVIK_FASTCALL(function_spread), METH_FASTCALL | METH_KEYWORDS, doc::spread},
    {"_weighted_draw", PLOVIK_FASTCALL(function_weighted_draw), METH_FASTCALL | METH_KEYWORDS,
     doc::weighted_draw},
    {"_set_thread_limit", PLOVIK_FASTCALL(function_set_thread_limit), METH_FASTCALL | METH_KEYWORDS,
     doc::set_thread_limit},
    {"_thread_count", function_thread_count, METH_NOARGS, doc::thread_count},
    {"crc32c", PLOVIK_FASTCALL(function_crc32c), METH_FASTCALL | METH_KEYWORDS, doc::crc32c},
    {"_restore_index", function_restore_index, METH_O, doc::restore_index},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace plovik::py
