// The module-level functions of plovik._native, one file per group in
// binding/functions/, and the module's method table that lists them. The
// functions without a leading underscore (exact_knn, exact_radius, crc32c)
// are the module's public ones, in its __all__; the others serve the
// package itself.
#pragma once

#include "binding/runtime/python.hpp"

namespace plovik::py {

// functions/exact.cpp: the exact searches by brute force, with the argument
// rules of the index methods.
// exact_knn(points, queries, k, exclude_ids=None)
PyObject* function_exact_knn(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// exact_radius(points, queries, radius, exclude_ids=None)
PyObject* function_exact_radius(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// functions/exact_tiles.cpp: the points of the exact scan prepared once, in
// a metric, and the scans over them.
// _exact_tiles(points, metric="l1", weights=None)
PyObject* function_exact_tiles(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
// _exact_tiles_reach(tiles, queries, limits)
PyObject* function_exact_tiles_reach(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames);
// _exact_tiles_nbytes(tiles)
PyObject* function_exact_tiles_nbytes(PyObject* module, PyObject* tiles);
// _exact_knn_tiles(tiles, queries, k, exclude_ids=None)
PyObject* function_exact_knn_tiles(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
// _exact_radius_tiles(tiles, queries, radius, exclude_ids=None)
PyObject* function_exact_radius_tiles(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);

// functions/values.cpp: the finiteness check and the single-precision copy of coordinates.
// _all_finite(values)
PyObject* function_all_finite(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
// _wrap_f32(values)
PyObject* function_wrap_f32(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

// functions/grid.cpp: the grid searches (src/index/grid).
// _grid_tier(points, cells, ids=None, metric="l1", weights=None)
PyObject* function_grid_tier(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
// _grid_radius(tiers, queries, radius, exclude_ids=None, shifts=False)
PyObject* function_grid_radius(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
// _grid_knn(tiers, queries, k, exclude_ids=None)
PyObject* function_grid_knn(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
// _grid_pairs(tiers, radius, shifts=False, by_distance=True, both=False)
PyObject* function_grid_pairs(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

// functions/metric_query.cpp: the hash index's candidates answered in a
// metric (src/index/metric_query). The raw class and its methods stay
// toroidal L1.
// _query_knn_metric(index, queries, k, metric="l1", weights=None,
// exclude_ids=None, probes=None)
PyObject* function_query_knn_metric(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
// _query_radius_metric(index, queries, radius, metric="l1", weights=None,
// exclude_ids=None, probes=None)
PyObject* function_query_radius_metric(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// functions/tuning.cpp: what the tuning measures hash settings with
// (plovik.tuning): the probe keys of sample rows, the candidates sample
// queries gather, and the true neighbours they find, by the engine's own
// hashing (index/tuning/sample_hash.hpp); the spread of the points along
// each coordinate (index/tuning/spread.hpp); the coordinates each table
// hashes, drawn by weight.
// _probe_keys(b, s, u, rows, flips)
PyObject* function_probe_keys(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
// _candidate_counts(b, s, u, points, queries, flips, bound)
PyObject* function_candidate_counts(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
// _candidate_counts_from(b, s, u, points, queries, flips, bound, entries, distinct, best)
PyObject* function_candidate_counts_from(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames);

// _neighbour_hits(b, s, u, queries, neighbours, owner, flips)
PyObject* function_neighbour_hits(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
// _neighbour_hits_from(b, s, u, queries, neighbours, owner, flips, start, first)
PyObject* function_neighbour_hits_from(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);
// _measure_many(calls)
PyObject* function_measure_many(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// _spread(rows, a, b)
PyObject* function_spread(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
// _weighted_draw(weights, draws, components)
PyObject* function_weighted_draw(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

// functions/threads.cpp: the worker limits that plovik.threads wraps (the
// file also exports the process-wide count as plain C symbols).
// _set_thread_limit(limit, process=False)
PyObject* function_set_thread_limit(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
// _thread_count()
PyObject* function_thread_count(PyObject* module, PyObject* unused);

// functions/crc32c.cpp: the checksum of saved files.
// crc32c(data, value=0)
PyObject* function_crc32c(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// The module's method table (functions/method_table.cpp), ending with its
// sentinel: every function above, and _query_knn, _query_radius and
// _restore_index, which share their bodies with the class's methods and are
// declared with them (methods.hpp).
extern PyMethodDef module_functions[];

}  // namespace plovik::py
