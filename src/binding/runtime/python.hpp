// CPython and NumPy headers, included the same way by every binding file.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL plovik_ARRAY_API
#ifndef PLOVIK_IMPORTS_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method
// table holds (CPython calls it back with the signature it was given).
#define PLOVIK_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
