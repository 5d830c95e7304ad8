#include "promote.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "build.hpp"
#include "errors.hpp"
#include "hash.hpp"
#include "merge.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"
#include "tiers.hpp"

namespace plovik {

namespace {

// Copies count values in pieces of a few megabytes, so that a call can stop
// between two (the pages of a new array are often first touched here, which
// can take a while).
template <class T>
void copy_interruptibly(T* out, const T* in, std::size_t count) {
  constexpr std::size_t piece = (std::size_t{1} << 22) / sizeof(T);
  for (std::size_t at = 0; at < count; at += piece) {
    parallel::check_interrupt();
    std::memcpy(out + at, in + at, std::min(piece, count - at) * sizeof(T));
  }
}

// When `a` lacks room for `count` more elements: a copy of it followed by
// `values`, with room for half as much again, so that a run of promotions
// reallocates only now and then. Otherwise an array without capacity, and
// the values are appended in place at install.
template <class T>
Array<T> grown_with(const Array<T>& a, const T* values, std::size_t count) {
  Array<T> out;
  const std::size_t need = checked_add(a.size(), count);
  if (need <= a.capacity()) return out;
  const std::size_t grown = a.capacity() + a.capacity() / 2;
  out.reserve(grown > need && grown <= out.max_size() ? grown : need);
  out.resize(need);
  copy_interruptibly(out.data(), a.data(), a.size());
  copy_interruptibly(out.data() + a.size(), values, count);
  return out;
}

// Appends within the capacity (no allocation, cannot fail).
template <class T>
void append_in_place(Array<T>& a, const T* values, std::size_t count) noexcept {
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

void validate_promote(const RustLshIndex& ix, std::size_t m, std::size_t width) {
  if (ix.d == 0) throw InvalidArgument("the index has not been built");
  if (width != ix.d)
    throw InvalidArgument("new_candidates have " + std::to_string(width) +
                          " columns but the index has d = " + std::to_string(ix.d));
  if (ix.n_points >= max_tier_points || m >= max_tier_points)
    throw InvalidArgument("a tier must hold fewer than 2**32 points");
}

void promote(RustLshIndex& ix, Array<double> rows, std::size_t m, std::size_t width) {
  validate_promote(ix, m, width);
  const std::size_t L = ix.l, d = ix.d;
  const std::size_t n_s = ix.n_static, n_c = ix.n_cand(), N = ix.n_points;

  // Everything new is built aside; the record changes only at the end, so
  // a failure on the way (memory) leaves the index as it was.

  // One job mixes work of two kinds: the per-table merges and the growth of
  // the coordinate arrays mostly move memory, hashing the batch mostly
  // computes. Task 0 grows the coordinates; the others alternate between
  // merging a table and hashing a chunk of the batch while both kinds last,
  // so that the threads overlap the two.
  SortedTier merged;
  const std::size_t n_merges = n_c != 0 ? L : 0;
  if (n_c != 0) {
    merged.keys.resize(checked_mul(L, N));
    merged.ids.resize(L * N);
  }
  constexpr std::size_t chunk = 4096;
  const std::size_t n_chunks = m / chunk + (m % chunk != 0);
  CandidateTier batch;
  batch.keys.resize(checked_mul(L, m));
  Array<float> f32(rows.size());
  Array<double> grown_f64;
  Array<float> grown_f32;
  const std::size_t mixed = std::min(n_merges, n_chunks);
  // Both directories exist or neither (the static tier may be empty).
  const std::size_t stride =
      ix.static_offsets.empty() || ix.cand_offsets.empty() ? 0 : directory_stride(ix);
  parallel::for_each(1 + n_merges + n_chunks, [&](std::size_t task) {
    if (task == 0) {
      wrap_to_f32(rows.data(), f32.data(), rows.size());
      grown_f64 = grown_with(ix.coords_f64, rows.data(), rows.size());
      grown_f32 = grown_with(ix.coords_f32, f32.data(), f32.size());
      return;
    }
    const std::size_t i = task - 1;
    const bool merge = i < 2 * mixed ? i % 2 == 0 : n_merges > n_chunks;
    const std::size_t at = i < 2 * mixed ? i / 2 : i - mixed;
    if (merge) {
      // Candidates first on equal keys; bucket by bucket when both tiers
      // have a directory.
      const int64_t* c_ids = ix.cand_sorted_ids.data() + at * n_c;
      const int64_t* s_ids = ix.static_ids.data() + at * n_s;
      int64_t* out_keys = merged.keys.data() + at * N;
      int64_t* out_ids = merged.ids.data() + at * N;
      if (stride != 0 &&
          merge_by_directory(c_ids, ix.cand_offsets.data() + at * stride, n_c, s_ids,
                             ix.static_offsets.data() + at * stride, n_s, stride, out_keys, out_ids))
        return;
      merge_first_wins(ix.cand_sorted_keys.data() + at * n_c, c_ids, n_c,
                       ix.static_keys.data() + at * n_s, s_ids, n_s, out_keys, out_ids);
      return;
    }
    const std::size_t begin = at * chunk, count = std::min(chunk, m - begin);
    const Array<int64_t> part = compute_keys_of(ix, rows.data(), d, begin, count);
    for (std::size_t t = 0; t < L; ++t)
      std::memcpy(batch.keys.data() + t * m + begin, part.data() + t * count, count * sizeof(int64_t));
  });
  Array<uint32_t> static_offsets;
  if (n_c != 0) static_offsets = merged_offsets(ix);

  // The new batch, ids N .. N + m - 1, sorted from scratch.
  SortedTier sorted = sort_tier_of(ix, batch.keys, m, N);
  batch.sorted_keys = std::move(sorted.keys);
  batch.sorted_ids = std::move(sorted.ids);
  batch.offsets = std::move(sorted.offsets);

  // Install: moves, and appends within capacity. Nothing can fail or stop
  // from here.
  parallel::NoInterrupts commit;
  if (n_c != 0) {
    ix.static_keys = std::move(merged.keys);
    ix.static_ids = std::move(merged.ids);
    ix.static_offsets = std::move(static_offsets);
  }
  ix.n_static = N;
  if (grown_f64.capacity() != 0)
    ix.coords_f64 = std::move(grown_f64);
  else
    append_in_place(ix.coords_f64, rows.data(), rows.size());
  if (grown_f32.capacity() != 0)
    ix.coords_f32 = std::move(grown_f32);
  else
    append_in_place(ix.coords_f32, f32.data(), f32.size());
  ix.n_points = N + m;
  install_candidate_tier(ix, std::move(batch));
}

}  // namespace plovik
