// RustLshIndex.stats()
#include "binding/access.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/ref.hpp"

namespace plovik::py {

namespace {

void put(PyObject* dict, const char* key, unsigned long long value) {
  Ref number(PyLong_FromUnsignedLongLong(value));
  check(PyDict_SetItemString(dict, key, number.get()));
}

}  // namespace

PyObject* method_stats(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    const QueryCounts counts = access.record().counters.snapshot();
    Ref dict(PyDict_New());
    counts.for_each([&](const char* name, uint64_t value) { put(dict.get(), name, value); });
    put(dict.get(), "block", access.record().block);
    return dict.release();
  });
}

}  // namespace plovik::py
