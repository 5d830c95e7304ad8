// The engine's lists as constants of plovik._native, so that the package
// reads them from their one source: QUERY_COUNTERS (the counters of
// stats(), in order), STATE_VERSION, STATE_INTS and STATE_ARRAYS (the
// entries of a state: names, and each array's dtype and dimensions) and
// MAX_THREADS (the pool's absolute cap on workers). They stay out of
// __all__, which lists the module's public classes and functions.
#pragma once

#include "binding/runtime/python.hpp"

namespace plovik::py {

// Sets the constants on `module`; throws PythonError on failure.
void export_constants(PyObject* module);

}  // namespace plovik::py
