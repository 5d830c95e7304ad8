// The hash index's candidates answered in a metric (src/index/metric_query):
// the package's own functions _query_knn_metric and _query_radius_metric,
// added to the module by its exec. The raw class and its methods stay
// toroidal L1.
#pragma once

#include "binding/python.hpp"

namespace plovik::py {

// The functions' method table, ending with its sentinel.
extern PyMethodDef metric_query_functions[];

}  // namespace plovik::py
