// RustLshIndex.tables()
#include "binding/access.hpp"
#include "binding/methods.hpp"
#include "binding/ref.hpp"
#include "binding/results.hpp"

namespace plovik::py {

namespace {

void put(PyObject* dict, const char* key, const Array<int64_t>& values, std::size_t rows,
         std::size_t cols) {
  // An unbuilt index has no arrays but still reports L rows of nothing.
  const int64_t* data = rows != 0 && cols != 0 ? values.data() : nullptr;
  Ref array(copy_2d(data, static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)));
  check(PyDict_SetItemString(dict, key, array.get()));
}

}  // namespace

PyObject* method_tables(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    const Index& ix = access.record();
    Ref dict(PyDict_New());
    put(dict.get(), "static_keys", ix.static_keys, ix.l, ix.n_static);
    put(dict.get(), "static_ids", ix.static_ids, ix.l, ix.n_static);
    put(dict.get(), "cand_keys", ix.cand_keys, ix.l, ix.n_cand());
    put(dict.get(), "cand_sorted_keys", ix.cand_sorted_keys, ix.l, ix.n_cand());
    put(dict.get(), "cand_sorted_ids", ix.cand_sorted_ids, ix.l, ix.n_cand());
    return dict.release();
  });
}

}  // namespace plovik::py
