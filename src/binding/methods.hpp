// The Python methods and properties of RustLshIndex, one file each.
#pragma once

#include "binding/runtime/python.hpp"

namespace plovik::py {

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

PyObject* method_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_tables(PyObject* self, PyObject* unused);
PyObject* method_query_knn(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* method_query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
// The module's _query_knn / _query_radius: the same calls with the probes
// of the call (PlovikSearch's query-time probes).
PyObject* function_query_knn(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* function_query_radius(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* method_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_promote(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* method_retire(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* method_stats(PyObject* self, PyObject* unused);
PyObject* method_reset_stats(PyObject* self, PyObject* unused);
PyObject* method_points(PyObject* self, PyObject* unused);
// The state (methods/state.cpp): _state, the classmethod _from_state,
// __reduce__, and the module's _restore_index(state) that pickle calls.
PyObject* method_state(PyObject* self, PyObject* unused);
PyObject* method_from_state(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* method_reduce(PyObject* self, PyObject* unused);
PyObject* function_restore_index(PyObject* module, PyObject* state);

PyObject* get_n_points(PyObject* self, void* closure);
PyObject* get_n_static(PyObject* self, void* closure);
PyObject* get_n_candidates(PyObject* self, void* closure);
PyObject* get_nbytes(PyObject* self, void* closure);
PyObject* get_nbytes_by_part(PyObject* self, void* closure);
PyObject* get_n_retired(PyObject* self, void* closure);

}  // namespace plovik::py
