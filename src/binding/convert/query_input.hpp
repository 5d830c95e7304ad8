// The query arguments shared by query_knn and query_radius, copied out of
// the caller's arrays.
#pragma once

#include <optional>

#include "binding/convert/args.hpp"
#include "index/query/batch.hpp"

namespace plovik::py {

struct QueryInput {
  Array<double> values;
  std::optional<Array<int64_t>> exclude;
  std::size_t m = 0;
  std::size_t dq = 0;
  std::optional<std::size_t> probes;

  QueryBatch batch() const {
    QueryBatch q{values, m, dq, std::nullopt, probes};
    if (exclude) q.exclude = std::span<const int64_t>(*exclude);
    return q;
  }
};

// exclude_ids: None (or absent) or a one-dimensional int64 array.
inline PyArrayObject* to_exclude_ids(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return nullptr;
  return to_array(obj, "exclude_ids", 1, NPY_INT64);
}

// probes: None (or absent) or an unsigned integer, the call's own number of
// flip probes per table.
inline std::optional<std::size_t> to_probes(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return to_usize(obj, "probes");
}

// The sizes the engine checks before the arrays are read.
struct QuerySizes {
  std::size_t m = 0;
  std::size_t dq = 0;
  std::optional<std::size_t> n_exclude;
};

inline QuerySizes query_sizes(PyArrayObject* queries, PyArrayObject* exclude_ids) {
  QuerySizes s;
  s.m = static_cast<std::size_t>(PyArray_DIM(queries, 0));
  s.dq = static_cast<std::size_t>(PyArray_DIM(queries, 1));
  if (exclude_ids != nullptr) s.n_exclude = static_cast<std::size_t>(PyArray_SIZE(exclude_ids));
  return s;
}

inline QueryInput read_queries(PyArrayObject* queries, PyArrayObject* exclude_ids,
                               std::optional<std::size_t> probes = std::nullopt) {
  QueryInput in;
  in.probes = probes;
  in.m = static_cast<std::size_t>(PyArray_DIM(queries, 0));
  in.dq = static_cast<std::size_t>(PyArray_DIM(queries, 1));
  in.values = read_array<double>(queries);
  if (exclude_ids != nullptr) in.exclude = read_array<int64_t>(exclude_ids);
  return in;
}

}  // namespace plovik::py
