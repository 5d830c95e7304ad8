// The metric arguments shared by the functions that measure in a metric
// other than toroidal L1 (_exact_tiles, _grid_tier, _query_knn_metric,
// _query_radius_metric).
#pragma once

#include <cstddef>

#include "binding/runtime/python.hpp"
#include "index/metric/metric.hpp"

namespace plovik::py {

// A metric from Python: `name` "l1" (default, also for null or None) or
// "euclidean", and the axes' weights as a 1-D float64 array of d values
// (null or None: every weight 1), each rounded to single precision.
// TypeError / ValueError for anything else, InvalidArgument when the
// weights do not fit d.
Metric read_metric(PyObject* name, PyObject* weights, std::size_t d);

}  // namespace plovik::py
