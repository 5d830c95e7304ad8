// RustLshIndex.tables(): the per-entry arrays of both tiers, expanded from
// the tables the index holds. A retired point has no entry; the keys of
// every candidate, retired or not, are listed by candidate.
#include "binding/access.hpp"
#include "binding/convert/results.hpp"
#include "binding/methods.hpp"
#include "binding/runtime/ref.hpp"
#include "index/hash/keys.hpp"
#include "index/tiers/ranges.hpp"

namespace plovik::py {

namespace {

// The keys of the retired candidates (L x n_cand, by candidate), which have
// no entry to read them from: their rows, kept as given, are hashed again.
void retired_cand_keys(const Index& ix, int64_t* cand_keys) {
  const std::size_t n = ix.n_cand(), d = ix.d;
  if (ix.cand_tables.entries == n) return;
  Array<std::size_t> which;
  Array<double> rows;
  for (std::size_t j = 0; j < n; ++j)
    if (ix.retired.contains(ix.n_static + j)) {
      which.push_back(j);
      rows.insert(rows.end(), ix.cand_f64.data() + j * d, ix.cand_f64.data() + (j + 1) * d);
    }
  const std::size_t m = which.size();
  const Array<int64_t> keys = compute_keys(ix, rows.data(), d, 0, m);
  for (std::size_t t = 0; t < ix.l; ++t)
    for (std::size_t u = 0; u < m; ++u) cand_keys[t * n + which[u]] = keys[t * m + u];
}

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
    const std::size_t m_s = ix.static_tables.entries, m_c = ix.cand_tables.entries;
    int64_t* static_keys = put(dict.get(), "static_keys", ix.l, m_s);
    int64_t* static_ids = put(dict.get(), "static_ids", ix.l, m_s);
    int64_t* cand_keys = put(dict.get(), "cand_keys", ix.l, ix.n_cand());
    int64_t* cand_sorted_keys = put(dict.get(), "cand_sorted_keys", ix.l, m_c);
    int64_t* cand_sorted_ids = put(dict.get(), "cand_sorted_ids", ix.l, m_c);
    expand_tier(static_tier(ix), ix.l, static_keys, static_ids, nullptr, 0);
    expand_tier(cand_tier(ix), ix.l, cand_sorted_keys, cand_sorted_ids, cand_keys, ix.n_cand());
    retired_cand_keys(ix, cand_keys);
    return dict.release();
  });
}

}  // namespace plovik::py
