// RustLshIndex.tables(): the per-entry arrays of both tiers, expanded from
// the tables the index holds.
#include "binding/access.hpp"
#include "binding/methods.hpp"
#include "binding/ref.hpp"
#include "binding/results.hpp"
#include "index/tiers/ranges.hpp"

namespace plovik::py {

namespace {

// A new (rows, cols) int64 array entered into `dict`; its values.
int64_t* put(PyObject* dict, const char* key, std::size_t rows, std::size_t cols) {
  // An unbuilt index has no arrays but still reports L rows of nothing.
  Ref array(new_2d(static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)));
  check(PyDict_SetItemString(dict, key, array.get()));
  return static_cast<int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

}  // namespace

PyObject* method_tables(PyObject* self, PyObject*) {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(reinterpret_cast<IndexObject*>(self));
    const Index& ix = access.record();
    Ref dict(PyDict_New());
    int64_t* static_keys = put(dict.get(), "static_keys", ix.l, ix.n_static);
    int64_t* static_ids = put(dict.get(), "static_ids", ix.l, ix.n_static);
    int64_t* cand_keys = put(dict.get(), "cand_keys", ix.l, ix.n_cand());
    int64_t* cand_sorted_keys = put(dict.get(), "cand_sorted_keys", ix.l, ix.n_cand());
    int64_t* cand_sorted_ids = put(dict.get(), "cand_sorted_ids", ix.l, ix.n_cand());
    expand_tier(static_tier(ix), ix.l, static_keys, static_ids, nullptr);
    expand_tier(cand_tier(ix), ix.l, cand_sorted_keys, cand_sorted_ids, cand_keys);
    return dict.release();
  });
}

}  // namespace plovik::py
