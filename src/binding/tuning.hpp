// The module-level functions the tuning measures hash settings with
// (plovik.tuning): the probe keys of sample rows, the candidates sample
// queries gather, and the true neighbours they find, by the engine's own
// hashing (index/tuning/sample_hash.hpp); and the spread of the points
// along each coordinate (index/tuning/spread.hpp).
#pragma once

#include "binding/python.hpp"

namespace plovik::py {

// _probe_keys(b, s, u, rows, flips)
PyObject* function_probe_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
// _candidate_counts(b, s, u, points, queries, flips, bound)
PyObject* function_candidate_counts(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
// _neighbour_hits(b, s, u, queries, neighbours, owner, flips)
PyObject* function_neighbour_hits(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);

// _spread(rows, a, b)
PyObject* function_spread(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// _weighted_draw(weights, draws, components)
PyObject* function_weighted_draw(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

}  // namespace plovik::py
