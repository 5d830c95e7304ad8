// The _native module: multi-phase initialisation; exec registers the class
// and PanicException, so that callers can catch the latter by name.
#define PLOVIK_IMPORTS_NUMPY
#include "binding/constants.hpp"
#include "binding/functions.hpp"
#include "binding/index_object.hpp"
#include "binding/runtime/exceptions.hpp"
#include "binding/runtime/python.hpp"
#include "binding/runtime/ref.hpp"
#include "binding/runtime/signals.hpp"

namespace plovik::py {

namespace {

// Sets module.<name> = value and appends name to __all__.
void export_name(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  Ref text(PyUnicode_FromString(name));
  check(PyList_Append(all, text.get()));
  check(PyModule_AddObjectRef(module, name, value));
}

int module_exec(PyObject* module) {
  return guard<int>(-1, [&] {
    check(_import_array());
    note_signal_thread();
    PyObject* type = check(index_type());
    PyObject* panic = check(panic_exception_type());
    // Append to __all__, creating it when the module has none.
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
      PyErr_Clear();
      all = check(PyList_New(0));
      if (PyModule_AddObjectRef(module, "__all__", all) < 0) {
        Py_DECREF(all);
        throw PythonError{};
      }
    }
    Ref all_ref(all);
    export_name(module, all, "RustLshIndex", type);
    export_name(module, all, "PanicException", panic);
    // The engine's lists and limits, as constants outside __all__.
    export_constants(module);
    // Functions whose name starts with an underscore serve the package
    // itself: they stay out of __all__.
    for (const PyMethodDef* f = module_functions; f->ml_name != nullptr; ++f) {
      if (f->ml_name[0] == '_') continue;
      Ref function(check(PyObject_GetAttrString(module, f->ml_name)));
      export_name(module, all, f->ml_name, function.get());
    }
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_multiple_interpreters
    // The class object is cached for the whole process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "",      0,       module_functions,
    module_slots,          nullptr,   nullptr, nullptr,
};

}  // namespace

}  // namespace plovik::py

// NOLINTNEXTLINE(bugprone-reserved-identifier): CPython finds the module by this name
PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&plovik::py::module_def); }
