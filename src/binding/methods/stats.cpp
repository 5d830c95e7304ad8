// RustLshIndex.stats()
#include "binding/access.hpp"
#include "binding/methods.hpp"
#include "binding/ref.hpp"
#include "index/query/stats.hpp"

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
    const StatsSnapshot s = read_stats(access.record());
    Ref dict(PyDict_New());
    put(dict.get(), "gather_ns", s.gather_ns);
    put(dict.get(), "refine_ns", s.refine_ns);
    put(dict.get(), "relax_ns", s.relax_ns);
    put(dict.get(), "queries", s.queries);
    put(dict.get(), "cands", s.cands);
    put(dict.get(), "pairs", s.pairs);
    put(dict.get(), "relaxed", s.relaxed);
    put(dict.get(), "block", access.record().block);
    return dict.release();
  });
}

}  // namespace plovik::py
