#include "promote.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "build.hpp"
#include "errors.hpp"
#include "hash.hpp"
#include "merge.hpp"
#include "parallel/pool.hpp"
#include "tiers.hpp"

namespace plovik {

namespace {

// Makes room for `extra` more elements so that the append at install time
// cannot allocate. Grows by half at least, so that a run of promotions
// reallocates the coordinates only now and then.
template <class T>
void reserve_extra(Array<T>& a, std::size_t extra) {
  const std::size_t need = checked_add(a.size(), extra);
  if (need <= a.capacity()) return;
  const std::size_t grown = a.capacity() + a.capacity() / 2;
  a.reserve(grown > need && grown <= a.max_size() ? grown : need);
}

// Appends within the capacity reserved above (no allocation, cannot fail).
template <class T>
void append_reserved(Array<T>& a, const T* values, std::size_t count) noexcept {
  const std::size_t at = a.size();
  a.resize(at + count);
  if (count != 0) std::memcpy(a.data() + at, values, count * sizeof(T));
}

// The directory of the merged static tier: entry c counts the keys below c
// in both runs, so it is the sum of the two tiers' entries; the same as
// build_offsets over the merged keys, without reading them.
Array<uint32_t> merged_offsets(const RustLshIndex& ix) {
  const Array<uint32_t>& s = ix.static_offsets;
  const Array<uint32_t>& c = ix.cand_offsets;
  // Both exist, or neither, unless the static tier is empty.
  if (s.empty() || c.empty()) return Array<uint32_t>(c);
  Array<uint32_t> out(s.size());
  for (std::size_t x = 0; x < s.size(); ++x) out[x] = s[x] + c[x];
  return out;
}

}  // namespace

void promote(RustLshIndex& ix, Array<double> rows, std::size_t m, std::size_t width) {
  if (ix.d == 0) throw InvalidArgument("the index has not been built");
  if (width != ix.d)
    throw InvalidArgument("new_candidates have " + std::to_string(width) +
                          " columns but the index has d = " + std::to_string(ix.d));
  const std::size_t L = ix.l, d = ix.d;
  const std::size_t n_s = ix.n_static, n_c = ix.n_cand(), N = ix.n_points;
  if (N >= max_tier_points || m >= max_tier_points)
    throw InvalidArgument("a tier must hold fewer than 2**32 points");

  // Everything new is built aside; the record changes only at the end, so
  // a failure on the way (memory) leaves the index as it was.

  // The static tier after the merge, unless there is nothing to merge.
  SortedTier merged;
  Array<uint32_t> static_offsets;
  if (n_c != 0) {
    merged.keys.resize(checked_mul(L, N));
    merged.ids.resize(L * N);
    parallel::for_each(L, [&](std::size_t t) {
      // Candidates first on equal keys.
      merge_first_wins(ix.cand_sorted_keys.data() + t * n_c, ix.cand_sorted_ids.data() + t * n_c,
                       n_c, ix.static_keys.data() + t * n_s, ix.static_ids.data() + t * n_s, n_s,
                       merged.keys.data() + t * N, merged.ids.data() + t * N);
    });
    static_offsets = merged_offsets(ix);
  }

  // The new batch, ids N .. N + m - 1, hashed and sorted from scratch.
  CandidateTier batch;
  batch.keys = compute_keys_of(ix, rows.data(), d, 0, m);
  SortedTier sorted = sort_tier(ix, Array<int64_t>(batch.keys), m, N);
  batch.sorted_keys = std::move(sorted.keys);
  batch.sorted_ids = std::move(sorted.ids);
  batch.offsets = build_offsets(ix, batch.sorted_keys, m);

  Array<float> f32(rows.size());
  wrap_to_f32(rows.data(), f32.data(), rows.size());
  // Reallocation keeps the contents, so the old coordinates stay valid even
  // if the second reservation fails.
  reserve_extra(ix.coords_f64, rows.size());
  reserve_extra(ix.coords_f32, f32.size());

  // Install: moves and appends into reserved storage only.
  if (n_c != 0) {
    ix.static_keys = std::move(merged.keys);
    ix.static_ids = std::move(merged.ids);
    ix.static_offsets = std::move(static_offsets);
  }
  ix.n_static = N;
  append_reserved(ix.coords_f64, rows.data(), rows.size());
  append_reserved(ix.coords_f32, f32.data(), f32.size());
  ix.n_points = N + m;
  install_candidate_tier(ix, std::move(batch));
}

}  // namespace plovik
