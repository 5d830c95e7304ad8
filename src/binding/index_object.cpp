// The RustLshIndex class object: deallocation, method and property tables,
// type slots and PyType_Spec. The constructor and each method live in files
// of their own under methods/.
#include <memory>

#include "binding/docstrings.hpp"
#include "binding/index_object.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/exceptions.hpp"

namespace plovik::py {

namespace {

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<IndexObject*>(self)->record);
  type->tp_free(self);
  Py_DECREF(type);
}

#define PLOVIK_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef index_methods[] = {
    {"build", PLOVIK_FASTCALL(method_build), METH_FASTCALL | METH_KEYWORDS, doc::build},
    {"tables", method_tables, METH_NOARGS, doc::tables},
    {"query_knn", PLOVIK_FASTCALL(method_query_knn), METH_FASTCALL | METH_KEYWORDS, doc::query_knn},
    {"query_radius", PLOVIK_FASTCALL(method_query_radius), METH_FASTCALL | METH_KEYWORDS,
     doc::query_radius},
    {"update", PLOVIK_FASTCALL(method_update), METH_FASTCALL | METH_KEYWORDS, doc::update},
    {"promote", PLOVIK_FASTCALL(method_promote), METH_FASTCALL | METH_KEYWORDS, doc::promote},
    {"retire", PLOVIK_FASTCALL(method_retire), METH_FASTCALL | METH_KEYWORDS, doc::retire},
    {"stats", method_stats, METH_NOARGS, doc::stats},
    {"reset_stats", method_reset_stats, METH_NOARGS, doc::reset_stats},
    {"points", method_points, METH_NOARGS, doc::points},
    {"_state", method_state, METH_NOARGS, doc::state},
    {"_from_state", PLOVIK_FASTCALL(method_from_state), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     doc::from_state},
    {"__reduce__", method_reduce, METH_NOARGS, doc::reduce},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"n_points", get_n_points, nullptr, doc::n_points, nullptr},
    {"n_static", get_n_static, nullptr, doc::n_static, nullptr},
    {"n_candidates", get_n_candidates, nullptr, doc::n_candidates, nullptr},
    {"nbytes", get_nbytes, nullptr, doc::nbytes, nullptr},
    {"nbytes_by_part", get_nbytes_by_part, nullptr, doc::nbytes_by_part, nullptr},
    {"n_retired", get_n_retired, nullptr, doc::n_retired, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_tp_doc, const_cast<char*>(doc::index_class)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (not subclassable), no GC, no __dict__, no weak
// references, no repr of its own.
PyType_Spec index_spec = {
    "plovik._native.RustLshIndex",
    sizeof(IndexObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    index_slots,
};

}  // namespace

PyObject* index_type() {
  // Module exec runs under the import lock, so one type is created; a
  // failed attempt leaves nothing cached and the next import retries.
  static PyObject* type = nullptr;
  if (type == nullptr) type = PyType_FromSpec(&index_spec);
  return type;
}

PyObject* to_index(PyObject* obj) {
  PyObject* type = check(index_type());
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_Format(PyExc_TypeError, "index must be a RustLshIndex, got %s", Py_TYPE(obj)->tp_name);
    throw PythonError{};
  }
  return obj;
}

}  // namespace plovik::py
