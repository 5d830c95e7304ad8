// The module-level functions of plovik._native: the exact searches
// exact_knn and exact_radius, with the argument rules of the index methods,
// and the checksum crc32c of saved files.
#pragma once

#include "binding/python.hpp"

namespace plovik::py {

// The module's method table, ending with its sentinel.
extern PyMethodDef module_functions[];

}  // namespace plovik::py
