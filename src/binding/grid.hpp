// The grid searches of plovik._native (src/index/grid): the package's own
// functions _grid_tier, _grid_radius, _grid_knn and _grid_pairs, added to
// the module by its exec.
#pragma once

#include "binding/python.hpp"

namespace plovik::py {

// The grid functions' method table, ending with its sentinel.
extern PyMethodDef grid_functions[];

}  // namespace plovik::py
