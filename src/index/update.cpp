#include "update.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "build.hpp"
#include "errors.hpp"
#include "hash.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"
#include "refresh_table.hpp"
#include "tiers.hpp"

namespace plovik {

namespace {

// The keys of the new coordinates. A row whose values are bitwise those it
// had keeps its keys, so when few rows changed only theirs are computed.
struct NewKeys {
  bool all = false;
  Array<int64_t> keys;   // all: L x n table-major; else L x rows.size()
  Array<uint32_t> rows;  // unless all: the changed rows, ascending
};

NewKeys new_keys_of(const RustLshIndex& ix, const double* coords, std::size_t n) {
  const std::size_t d = ix.d;
  const double* old_rows = ix.coords_f64.data() + ix.n_static * d;
  Array<uint8_t> row_changed(n);
  struct NoState {};
  parallel::for_chunks(
      n, std::size_t{1} << 12, [] { return NoState{}; },
      [&](NoState&, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
          row_changed[i] = std::memcmp(coords + i * d, old_rows + i * d, d * sizeof(double)) != 0;
      });
  NewKeys out;
  for (std::size_t i = 0; i < n; ++i)
    if (row_changed[i]) out.rows.push_back(static_cast<uint32_t>(i));
  const std::size_t m = out.rows.size();
  if (m > n / 2) {
    out.all = true;
    out.rows = Array<uint32_t>();
    out.keys = compute_keys_of(ix, coords, d, 0, n);
    return out;
  }
  Array<double> gathered(m * d);
  for (std::size_t k = 0; k < m; ++k)
    std::memcpy(gathered.data() + k * d, coords + out.rows[k] * d, d * sizeof(double));
  out.keys = compute_keys_of(ix, gathered.data(), d, 0, m);
  return out;
}

// The entries of table t whose key changed, (new key, id) by ascending id.
void collect_moved(Array<Entry>& moved, const NewKeys& nk, const int64_t* old_run, std::size_t t,
                   std::size_t n, std::size_t base) {
  moved.clear();
  if (nk.all) {
    const int64_t* run = nk.keys.data() + t * n;
    for (std::size_t i = 0; i < n; ++i)
      if (run[i] != old_run[i]) moved.emplace_back(run[i], static_cast<int64_t>(base + i));
  } else {
    const std::size_t m = nk.rows.size();
    const int64_t* part = nk.keys.data() + t * m;
    for (std::size_t k = 0; k < m; ++k)
      if (part[k] != old_run[nk.rows[k]])
        moved.emplace_back(part[k], static_cast<int64_t>(base + nk.rows[k]));
  }
}

// Whether any key differs; stops at the first difference.
bool any_key_changed(const NewKeys& nk, const Array<int64_t>& old_keys, std::size_t L,
                     std::size_t n) {
  for (std::size_t t = 0; t < L; ++t) {
    parallel::check_interrupt();
    const int64_t* old_run = old_keys.data() + t * n;
    if (nk.all) {
      if (std::memcmp(old_run, nk.keys.data() + t * n, n * sizeof(int64_t)) != 0) return true;
      continue;
    }
    const int64_t* part = nk.keys.data() + t * nk.rows.size();
    for (std::size_t k = 0; k < nk.rows.size(); ++k)
      if (part[k] != old_run[nk.rows[k]]) return true;
  }
  return false;
}

}  // namespace

void validate_update(const RustLshIndex& ix, std::size_t count) {
  if (ix.d == 0) {
    if (count != 0) throw InvalidArgument("the index has not been built");
    return;
  }
  const std::size_t expected = ix.n_cand() * ix.d;
  if (count != expected)
    throw Panic("update expects " + std::to_string(expected) + " values, got " +
                std::to_string(count));
}

void update(RustLshIndex& ix, Array<double> coords) {
  const std::size_t count = coords.size();
  validate_update(ix, count);
  const std::size_t n = ix.n_cand(), d = ix.d, L = ix.l, base = ix.n_static;
  if (d == 0 || n == 0) return;

  // Everything new is computed aside first; the record changes only at the
  // end, so a failure on the way (memory) leaves the index as it was.
  NewKeys nk = new_keys_of(ix, coords.data(), n);
  // Single-precision copies of the rows that changed (of all rows when most
  // did): a row whose values are bitwise those it had keeps its copy.
  const std::size_t n_rows = nk.all ? n : nk.rows.size();
  Array<float> f32(checked_mul(n_rows, d));
  if (nk.all) {
    wrap_to_f32(coords.data(), f32.data(), count);
  } else {
    struct NoState {};
    parallel::for_chunks(
        n_rows, std::size_t{1} << 10, [] { return NoState{}; },
        [&](NoState&, std::size_t begin, std::size_t end) {
          for (std::size_t k = begin; k < end; ++k) {
            const double* row = coords.data() + std::size_t{nk.rows[k]} * d;
            for (std::size_t c = 0; c < d; ++c) f32[k * d + c] = wrap_f32(row[c]);
          }
        });
  }
  const bool any_changed = any_key_changed(nk, ix.cand_keys, L, n);

  // New sorted runs and directory; tables without a changed key copy theirs.
  SortedTier runs;
  Array<uint32_t> offsets;
  if (any_changed) {
    runs.keys.resize(checked_mul(L, n));
    runs.ids.resize(L * n);
    const std::size_t stride = ix.cand_offsets.empty() ? 0 : directory_stride(ix);
    offsets.resize(L * stride);
    Array<uint8_t> shifted(L, 1);
    const int64_t space = key_space(ix);
    parallel::for_tasks(
        L, [] { return RefreshScratch{}; },
        [&](RefreshScratch& s, std::size_t t) {
          const std::size_t at = t * n;
          const TableRuns r{ix.cand_keys.data() + at, ix.cand_sorted_keys.data() + at,
                            ix.cand_sorted_ids.data() + at, runs.keys.data() + at,
                            runs.ids.data() + at};
          collect_moved(s.moved, nk, r.old_keys, t, n, base);
          if (stride != 0)
            shifted[t] = shift_offsets(s, r, base, ix.cand_offsets.data() + t * stride,
                                       offsets.data() + t * stride, stride);
          if (s.moved.empty()) {
            std::memcpy(r.out_keys, r.sorted_keys, n * sizeof(int64_t));
            std::memcpy(r.out_ids, r.sorted_ids, n * sizeof(int64_t));
          } else {
            refresh_table(s, r, n, base, space);
          }
        });
    for (uint8_t ok : shifted)
      if (!ok) {
        offsets = build_offsets(ix, runs.keys, n);
        break;
      }
  }

  // Install: copies into existing storage and moves only; unchanged rows
  // are left as they are. Nothing can fail or stop from here.
  parallel::NoInterrupts commit;
  if (nk.all) {
    std::memcpy(ix.coords_f64.data() + base * d, coords.data(), count * sizeof(double));
    std::memcpy(ix.coords_f32.data() + base * d, f32.data(), count * sizeof(float));
    ix.cand_keys = std::move(nk.keys);
  } else {
    for (std::size_t k = 0; k < n_rows; ++k) {
      const std::size_t row = nk.rows[k];
      std::memcpy(ix.coords_f64.data() + (base + row) * d, coords.data() + row * d,
                  d * sizeof(double));
      std::memcpy(ix.coords_f32.data() + (base + row) * d, f32.data() + k * d,
                  d * sizeof(float));
    }
    for (std::size_t t = 0; t < L; ++t)
      for (std::size_t k = 0; k < n_rows; ++k)
        ix.cand_keys[t * n + nk.rows[k]] = nk.keys[t * n_rows + k];
  }
  if (any_changed) {
    ix.cand_sorted_keys = std::move(runs.keys);
    ix.cand_sorted_ids = std::move(runs.ids);
    ix.cand_offsets = std::move(offsets);
  }
}

}  // namespace plovik
