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

// A metric from Python: `name` "l1" (default, also for null or None) or
// "euclidean", and the axes' weights as a 1-D float64 array of d values
// (null or None: every weight 1), each rounded to single precision.
// TypeError / ValueError for anything else, InvalidArgument when the
// weights do not fit d.
Metric read_metric(PyObject* name, PyObject* weights, std::size_t d);

}  // namespace plovik::py
