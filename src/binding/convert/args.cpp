#include "binding/convert/args.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "binding/runtime/exceptions.hpp"
#include "binding/runtime/ref.hpp"
#include "index/memory/copy_values.hpp"

namespace plovik::py {

namespace {

[[noreturn]] void type_error(const char* format, ...) {
  va_list va;
  va_start(va, format);
  PyErr_FormatV(PyExc_TypeError, format, va);
  va_end(va);
  throw PythonError{};
}

// The pending exception, normalised, as a new reference.
PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// Re-raises a pending TypeError as "argument 'name': <message>" caused by
// the original; any other pending exception propagates unchanged.
[[noreturn]] void rethrow_named(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PythonError{};
  Ref cause(take_raised());
  Ref message(PyUnicode_FromFormat("argument '%s': %S", name, cause.get()));
  Ref error(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  PyException_SetCause(error.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, error.get());
  throw PythonError{};
}

std::size_t index_of(const Params& params, PyObject* key) {
  std::size_t i = 0;
  for (const char* name : params.names) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0) return i;
    ++i;
  }
  return params.names.size();
}

void check_positional_count(const Params& params, Py_ssize_t nargs) {
  const std::size_t n = params.names.size();
  if (static_cast<std::size_t>(nargs) <= n) return;
  if (params.required == n)
    type_error("%s() takes %zu positional argument%s but %zd were given", params.qualname, n,
               n == 1 ? "" : "s", nargs);
  type_error("%s() takes from %zu to %zu positional arguments but %zd were given", params.qualname,
             params.required, n, nargs);
}

void place_keyword(const Params& params, PyObject* key, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(key)) type_error("%s() keywords must be strings", params.qualname);
  const std::size_t i = index_of(params, key);
  if (i == params.names.size())
    type_error("%s() got an unexpected keyword argument '%U'", params.qualname, key);
  if (out[i] != nullptr)
    type_error("%s() got multiple values for argument '%U'", params.qualname, key);
  out[i] = value;
}

void check_required(const Params& params, PyObject** out) {
  std::size_t i = 0;
  for (const char* name : params.names) {
    if (i < params.required && out[i] == nullptr)
      type_error("%s() missing required argument '%s' (pos %zu)", params.qualname, name, i + 1);
    ++i;
  }
}

}  // namespace

void match_args(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
  std::fill(out, out + params.names.size(), nullptr);
  check_positional_count(params, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t j = 0; j < nkw; ++j)
    place_keyword(params, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out);
  check_required(params, out);
}

void match_args(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out) {
  std::fill(out, out + params.names.size(), nullptr);
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  check_positional_count(params, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(params, key, value, out);
  }
  check_required(params, out);
}

int64_t to_i64(PyObject* obj, const char* name) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) rethrow_named(name);
  Ref owned(index);
  const long long v = PyLong_AsLongLong(index);
  if (v == -1 && PyErr_Occurred()) rethrow_named(name);
  return static_cast<int64_t>(v);
}

std::size_t to_usize(PyObject* obj, const char* name) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) rethrow_named(name);
  Ref owned(index);
  const std::size_t v = PyLong_AsSize_t(index);
  if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) rethrow_named(name);
  return v;
}

double to_f64(PyObject* obj, const char* name) {
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) rethrow_named(name);
  return v;
}

PyArrayObject* to_array(PyObject* obj, const char* name, int ndim, int typenum) {
  try {
    if (!PyArray_Check(obj))
      type_error("expected a %d-dimensional numpy.ndarray, got '%s'", ndim, Py_TYPE(obj)->tp_name);
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim)
      type_error("expected a %d-dimensional array, got %d dimension%s", ndim, PyArray_NDIM(arr),
                 PyArray_NDIM(arr) == 1 ? "" : "s");
    PyArray_Descr* want = check(PyArray_DescrFromType(typenum));
    const bool same = PyArray_EquivTypes(PyArray_DESCR(arr), want);
    Py_DECREF(want);
    if (!same)
      type_error("expected dtype %s, got %S",
                 typenum == NPY_FLOAT64 ? "float64"
                 : typenum == NPY_UINT8 ? "uint8"
                                        : "int64",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
    return arr;
  } catch (const PythonError&) {
    rethrow_named(name);
  }
}

template <class T>
Array<T> read_array(PyArrayObject* arr, std::size_t room) {
  const npy_intp size = PyArray_SIZE(arr);
  const bool c_order = PyArray_IS_C_CONTIGUOUS(arr);
  // The one message that names no argument: callers match it exactly.
  if (size != 0 && (!(c_order || PyArray_IS_F_CONTIGUOUS(arr)) || !PyArray_ISALIGNED(arr)))
    raise(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
  Array<T> out;
  out.reserve(checked_add(static_cast<std::size_t>(size), room));
  out.resize(static_cast<std::size_t>(size));
  if (size == 0) return out;
  const char* data = PyArray_BYTES(arr);
  if (c_order) {
    std::memcpy(out.data(), data, static_cast<std::size_t>(size) * sizeof(T));
    return out;
  }
  // Fortran order: read element [i][j] where it lies, so rows stay rows.
  const npy_intp rows = PyArray_DIM(arr, 0), cols = PyArray_DIM(arr, 1);
  const npy_intp s0 = PyArray_STRIDE(arr, 0), s1 = PyArray_STRIDE(arr, 1);
  T* dst = out.data();
  for (npy_intp i = 0; i < rows; ++i)
    for (npy_intp j = 0; j < cols; ++j) std::memcpy(dst++, data + i * s0 + j * s1, sizeof(T));
  return out;
}

template Array<double> read_array<double>(PyArrayObject*, std::size_t);

ArrayValues::ArrayValues(PyArrayObject* arr, std::size_t room) : room_(room) {
  const auto size = static_cast<std::size_t>(PyArray_SIZE(arr));
  if (size != 0 && PyArray_IS_C_CONTIGUOUS(arr) && PyArray_ISALIGNED(arr)) {
    data_ = static_cast<const double*>(PyArray_DATA(arr));
    size_ = size;
  } else {
    owned_ = read_array<double>(arr, room);
  }
}

Array<double> ArrayValues::take() {
  if (data_ == nullptr) return std::move(owned_);
  return copy_values(data_, size_, room_);
}
std::span<const double> ArrayValues::view() const {
  if (data_ == nullptr) return owned_;
  return {data_, size_};
}

template Array<int64_t> read_array<int64_t>(PyArrayObject*, std::size_t);
template Array<uint8_t> read_array<uint8_t>(PyArrayObject*, std::size_t);

}  // namespace plovik::py
