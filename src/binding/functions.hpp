// The module-level functions of plovik._native: the exact searches
// exact_knn and exact_radius, with the argument rules of the index methods,
// and the checksum crc32c of saved files.
#pragma once

#include <cstddef>

#include "binding/python.hpp"
#include "index/metric/metric.hpp"

namespace plovik::py {

// The module's method table, ending with its sentinel.
extern PyMethodDef module_functions[];

// The metric arguments of _exact_tiles and _grid_tier: "l1" (None: the
// default) or "euclidean", and the axes' weights as a 1-D float64 array of
// d values (None: every weight 1), each rounded to single precision.
Metric read_metric(PyObject* name, PyObject* weights, std::size_t d);

}  // namespace plovik::py
