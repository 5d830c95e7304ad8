// RustLshIndex.query_knn(queries, k, exclude_ids=None), and the module's
// _query_knn(index, queries, k, exclude_ids=None, probes=None), the same
// call with the probes of this call instead of the index's.
#include "binding/access.hpp"
#include "binding/convert/query_input.hpp"
#include "binding/convert/results.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/gil.hpp"
#include "index/knn/knn.hpp"

namespace plovik::py {

namespace {

// a: queries, k, exclude_ids, probes (the last two may be null).
PyObject* run_query_knn(PyObject* self, PyObject* const* a) {
  SharedAccess access(reinterpret_cast<IndexObject*>(self));
  PyArrayObject* queries = to_array(a[0], "queries", 2, NPY_FLOAT64);
  const std::size_t k = to_usize(a[1], "k");
  PyArrayObject* exclude_ids = to_exclude_ids(a[2]);
  const std::optional<std::size_t> probes = to_probes(a[3]);
  const QuerySizes sizes = query_sizes(queries, exclude_ids);
  validate_query_knn(access.record(), sizes.m, sizes.dq, sizes.n_exclude, k);
  const QueryInput in = read_queries(queries, exclude_ids, probes);
  KnnResult r = without_gil([&] { return query_knn(access.record(), in.batch(), k); });
  return knn_rows(std::move(r.idx), std::move(r.dist), in.m, k);
}

}  // namespace

PyObject* method_query_knn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[4] = {};
    match_args({"RustLshIndex.query_knn", {"queries", "k", "exclude_ids"}, 2}, args, nargs, kwnames,
               a);
    return run_query_knn(self, a);
  });
}

PyObject* function_query_knn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[5] = {};
    match_args({"_query_knn", {"index", "queries", "k", "exclude_ids", "probes"}, 3}, args, nargs,
               kwnames, a);
    return run_query_knn(to_index(a[0]), a + 1);
  });
}

}  // namespace plovik::py
