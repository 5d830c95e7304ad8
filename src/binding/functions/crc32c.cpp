// crc32c(data, value=0): the checksum of saved files.
#include <cstdint>

#include "binding/convert/args.hpp"
#include "binding/functions.hpp"
#include "binding/runtime/gil.hpp"
#include "binding/runtime/ref.hpp"
#include "index/checksum/crc32c.hpp"

namespace plovik::py {

namespace {

// A read-only view of an object's bytes through the buffer protocol,
// released when it goes out of scope.
struct BufferView {
  Py_buffer view{};
  bool held = false;
  explicit BufferView(PyObject* obj) {
    check(PyObject_GetBuffer(obj, &view, PyBUF_FULL_RO));
    held = true;
  }
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held) PyBuffer_Release(&view);
  }
};

// Buffers from this size on are checksummed with the interpreter lock
// released (below it the release costs more than it lets others run).
constexpr Py_ssize_t kCrcUnlockBytes = 1 << 16;

}  // namespace

// crc32c(data, value=0): the CRC-32C of a C-contiguous buffer, continuing
// from `value`.
PyObject* function_crc32c(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    match_args({"crc32c", {"data", "value"}, 1}, args, nargs, kwnames, a);
    std::uint32_t value = 0;
    if (a[1] != nullptr) {
      PyObject* index = PyNumber_Index(a[1]);  // TypeError for a float or str
      if (index == nullptr) throw PythonError{};
      Ref owned(index);
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
      if (v == -1 && PyErr_Occurred()) throw PythonError{};
      if (overflow != 0 || v < 0 || v > 0xFFFFFFFFLL)
        raise(PyExc_ValueError, "crc32c: value must be in [0, 2**32)");
      value = static_cast<std::uint32_t>(v);
    }
    const BufferView buffer(a[0]);
    if (!PyBuffer_IsContiguous(&buffer.view, 'C'))
      raise(PyExc_ValueError, "crc32c: data must be a C-contiguous buffer");
    const void* data = buffer.view.buf;
    const auto n = static_cast<std::size_t>(buffer.view.len);
    const std::uint32_t crc = buffer.view.len >= kCrcUnlockBytes
                                  ? without_gil([&] { return crc32c(value, data, n); })
                                  : crc32c(value, data, n);
    return check(PyLong_FromUnsignedLong(crc));
  });
}

}  // namespace plovik::py
