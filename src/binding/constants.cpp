#include "binding/constants.hpp"

#include <cstdint>

#include "binding/runtime/ref.hpp"
#include "index/counters.hpp"
#include "index/state/schema.hpp"
#include "parallel/pool.hpp"

namespace plovik::py {

namespace {

// The NumPy type number of an array element type of a state.
template <class T>
constexpr int numpy_type();
template <>
constexpr int numpy_type<int64_t>() {
  return NPY_INT64;
}
template <>
constexpr int numpy_type<uint64_t>() {
  return NPY_UINT64;
}
template <>
constexpr int numpy_type<uint32_t>() {
  return NPY_UINT32;
}
template <>
constexpr int numpy_type<double>() {
  return NPY_FLOAT64;
}
template <>
constexpr int numpy_type<float>() {
  return NPY_FLOAT32;
}

void add(PyObject* module, const char* name, PyObject* value) {
  Ref owned(value);
  check(PyModule_AddObjectRef(module, name, owned.get()));
}

// A tuple of the strings given.
template <std::size_t N>
PyObject* names(const char* const (&items)[N]) {
  Ref tuple(PyTuple_New(N));
  for (std::size_t i = 0; i < N; ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i),
                     check(PyUnicode_FromString(items[i])));
  return tuple.release();
}

// {name: (numpy.dtype, dimensions)} for every array of a state, in order.
PyObject* state_arrays() {
  Ref dict(PyDict_New());
  auto put = [&](const char* name, int typenum, long ndim) {
    Ref dtype(reinterpret_cast<PyObject*>(PyArray_DescrFromType(typenum)));
    Ref entry(Py_BuildValue("(Ol)", dtype.get(), ndim));
    check(PyDict_SetItemString(dict.get(), name, entry.get()));
  };
#define PLOVIK_PUT_ARRAY(name, type, ndim) put(#name, numpy_type<type>(), ndim);
  PLOVIK_STATE_ARRAYS(PLOVIK_PUT_ARRAY)
#undef PLOVIK_PUT_ARRAY
  return dict.release();
}

}  // namespace

void export_constants(PyObject* module) {
#define PLOVIK_NAME_OF_COUNTER(name, description) #name,
  static constexpr const char* counters[] = {PLOVIK_QUERY_COUNTERS(PLOVIK_NAME_OF_COUNTER)};
#undef PLOVIK_NAME_OF_COUNTER
#define PLOVIK_NAME_OF_INT(name) #name,
  static constexpr const char* ints[] = {PLOVIK_STATE_INTS(PLOVIK_NAME_OF_INT)};
#undef PLOVIK_NAME_OF_INT
  add(module, "QUERY_COUNTERS", names(counters));
  add(module, "STATE_VERSION", PyLong_FromLong(state_version));
  add(module, "STATE_INTS", names(ints));
  add(module, "STATE_ARRAYS", state_arrays());
  add(module, "MAX_THREADS", PyLong_FromSize_t(parallel::max_thread_cap));
}

}  // namespace plovik::py
