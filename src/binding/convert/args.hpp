// Argument matching and conversion, shared by every method: match the call
// against the parameter list, convert each argument without casting, and
// copy array data into engine-owned buffers.
//
// Every method runs the same steps in this order: match the arguments,
// take access, convert each argument (in parameter order), check what the
// engine would refuse from the sizes alone (its validate_* function), then
// read the arrays (layout, then copy) and run the engine. So a call is
// refused before any array is copied, and the NumPy reference, which
// follows the same order, reports the same problem first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "binding/runtime/python.hpp"
#include "index/memory/array.hpp"

namespace plovik::py {

struct Params {
  const char* qualname;  // "RustLshIndex.build", used in messages
  std::initializer_list<const char*> names;
  std::size_t required;  // the first `required` names have no default
};

// Matches a vectorcall argument vector; out[i] receives a borrowed
// reference to argument i, or NULL when an optional one is absent.
void match_args(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

// The same for a classic (tuple, dict) call, as __new__ receives it.
void match_args(const Params& params, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions. A TypeError is re-raised as "argument 'name': ..." with the
// original as its cause; other errors (OverflowError) pass unchanged.
int64_t to_i64(PyObject* obj, const char* name);
std::size_t to_usize(PyObject* obj, const char* name);
double to_f64(PyObject* obj, const char* name);

// A NumPy array (or subclass) with exactly `ndim` dimensions and a dtype
// equivalent to the native `typenum`; returned borrowed.
PyArrayObject* to_array(PyObject* obj, const char* name, int ndim, int typenum);

// Copies the values of a contiguous, aligned array in logical row-major
// order (a Fortran-ordered array is read by index, not in buffer order),
// into an array with capacity for `room` more values. Raises TypeError
// "The given array is not contiguous or is misaligned." (naming no
// argument) before allocating anything when an array with values is
// neither C- nor Fortran-contiguous, or misaligned.
template <class T>
Array<T> read_array(PyArrayObject* arr, std::size_t room = 0);

// The values of a float64 array for engine work. A C-contiguous, aligned
// array stays where it is until take() copies it, in parallel (so call it
// with the interpreter lock released, while the array is still referenced);
// any other layout is copied at construction by read_array, with its
// errors.
class ArrayValues {
 public:
  explicit ArrayValues(PyArrayObject* arr, std::size_t room = 0);
  // The values, in an array with capacity for `room` more. Once only.
  Array<double> take();
  // The values where they are, for reading only (with the interpreter lock
  // released too, while the array is still referenced): the caller's
  // buffer, or the copy made at construction.
  std::span<const double> view() const;

 private:
  const double* data_ = nullptr;  // null: the values are in owned_
  std::size_t size_ = 0;
  std::size_t room_ = 0;
  Array<double> owned_;
};

}  // namespace plovik::py
