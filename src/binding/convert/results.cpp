#include "binding/convert/results.hpp"

#include <cstring>
#include <memory>

#include "binding/runtime/exceptions.hpp"
#include "binding/runtime/ref.hpp"

namespace plovik::py {

namespace {

template <class T>
constexpr const char* capsule_name = nullptr;
template <>
constexpr const char* capsule_name<int64_t> = "plovik.int64_buffer";
template <>
constexpr const char* capsule_name<double> = "plovik.float64_buffer";
template <>
constexpr const char* capsule_name<uint8_t> = "plovik.uint8_buffer";

template <class T>
void free_buffer(PyObject* capsule) {
  std::unique_ptr<Array<T>>(static_cast<Array<T>*>(PyCapsule_GetPointer(capsule, capsule_name<T>)));
}

template <class T>
PyObject* hand_over_impl(Array<T>&& data, int typenum) {
  // An empty vector may have no buffer; NumPy would then allocate its own.
  if (data.capacity() == 0) data.reserve(1);
  auto owned = std::make_unique<Array<T>>(std::move(data));
  npy_intp n = static_cast<npy_intp>(owned->size());
  Ref array(PyArray_SimpleNewFromData(1, &n, typenum, owned->data()));
  Ref owner(PyCapsule_New(owned.get(), capsule_name<T>, free_buffer<T>));
  owned.release();  // the capsule frees it now
  check(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()));
  return array.release();
}

}  // namespace

PyObject* hand_over(Array<int64_t>&& data) { return hand_over_impl(std::move(data), NPY_INT64); }
PyObject* hand_over(Array<double>&& data) { return hand_over_impl(std::move(data), NPY_FLOAT64); }
PyObject* hand_over(Array<uint8_t>&& data) { return hand_over_impl(std::move(data), NPY_UINT8); }

PyObject* reshape(PyObject* flat, npy_intp rows, npy_intp cols) {
  Ref owned(flat);
  npy_intp dims[2] = {rows, cols};
  PyArray_Dims shape = {dims, 2};
  return check(PyArray_Newshape(reinterpret_cast<PyArrayObject*>(flat), &shape, NPY_CORDER));
}

PyObject* new_2d(npy_intp rows, npy_intp cols) {
  npy_intp dims[2] = {rows, cols};
  return check(PyArray_SimpleNew(2, dims, NPY_INT64));
}

PyObject* knn_rows(Array<int64_t>&& idx, Array<double>&& dist, std::size_t m, std::size_t k) {
  const auto rows = static_cast<npy_intp>(m), cols = static_cast<npy_intp>(k);
  Ref ids(reshape(hand_over(std::move(idx)), rows, cols));
  Ref dists(reshape(hand_over(std::move(dist)), rows, cols));
  return check(PyTuple_Pack(2, ids.get(), dists.get()));
}

PyObject* radius_rows(Array<int64_t>&& indptr, Array<int64_t>&& ids, Array<double>&& dists) {
  Ref starts(hand_over(std::move(indptr)));
  Ref found(hand_over(std::move(ids)));
  Ref distances(hand_over(std::move(dists)));
  return check(PyTuple_Pack(3, starts.get(), found.get(), distances.get()));
}

}  // namespace plovik::py
