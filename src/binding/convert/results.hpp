// Turning engine arrays into NumPy arrays: computed results are handed over
// without a copy, arrays the engine keeps are copied.
#pragma once

#include <cstddef>
#include <cstdint>

#include "binding/runtime/python.hpp"
#include "index/memory/array.hpp"

namespace plovik::py {

// A new writeable one-dimensional array over `data`'s buffer; an owner
// object set as the array's base frees the buffer with the last array.
PyObject* hand_over(Array<int64_t>&& data);
PyObject* hand_over(Array<double>&& data);
PyObject* hand_over(Array<uint8_t>&& data);

// A (rows, cols) view of a one-dimensional array; consumes `flat`.
PyObject* reshape(PyObject* flat, npy_intp rows, npy_intp cols);

// A new C-ordered (rows, cols) int64 array, its values not yet written.
PyObject* new_2d(npy_intp rows, npy_intp cols);

// The rows of a k-nearest search, (m, k) row-major, as the tuple
// (idx, dist) of (m, k) arrays; consumes both.
PyObject* knn_rows(Array<int64_t>&& idx, Array<double>&& dist, std::size_t m, std::size_t k);

// The CSR rows of a radius search as the tuple (indptr, ids, dists);
// consumes all three.
PyObject* radius_rows(Array<int64_t>&& indptr, Array<int64_t>&& ids, Array<double>&& dists);

}  // namespace plovik::py
