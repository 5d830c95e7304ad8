#include "index/write/promote.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "index/errors.hpp"
#include "index/tiers/directory.hpp"
#include "index/tiers/merge.hpp"
#include "index/tiers/ranges.hpp"
#include "index/tiers/sort_tier.hpp"
#include "index/write/build.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// Room for `count` more elements than `a` holds when `a` lacks it: an empty
// array whose capacity is half as much again as needed, so that a run of
// promotions reallocates only now and then; its pages are touched only when
// the values are copied at install. An array without capacity when `a` has
// the room (the values are then appended in place).
template <class T>
Array<T> room_for(const Array<T>& a, std::size_t count) {
  Array<T> out;
  const std::size_t need = checked_add(a.size(), count);
  if (need <= a.capacity()) return out;
  const std::size_t grown = a.capacity() + a.capacity() / 2;
  out.reserve(grown > need && grown <= out.max_size() ? grown : need);
  return out;
}

// Copies `from` into `to` (reserved for it and more), giving back the
// pages of `from` piece by piece as they are copied: the two copies are
// never resident at once. Cannot fail.
template <class T>
void move_into_reserved(Array<T>& from, Array<T>& to) noexcept {
  constexpr std::size_t piece = (std::size_t{1} << 22) / sizeof(T);
  const std::size_t n = from.size();
  to.resize(n);  // within the capacity reserved
  for (std::size_t at = 0; at < n; at += piece) {
    const std::size_t end = std::min(n, at + piece);
    std::memcpy(to.data() + at, from.data() + at, (end - at) * sizeof(T));
    release_elements(from, 0, end);
  }
}

// The dense directory of the merged static tier: entry c counts the keys
// below c in both runs, so it is the sum of the two tiers' entries; an
// empty static tier has none.
Array<uint32_t> merged_offsets(const Index& ix) {
  const Array<uint32_t>& s = ix.static_tables.offsets;
  const Array<uint32_t>& c = ix.cand_tables.offsets;
  if (s.empty() || c.empty()) return Array<uint32_t>(c);
  Array<uint32_t> out(s.size());
  for (std::size_t x = 0; x < s.size(); ++x) out[x] = s[x] + c[x];
  return out;
}

RunBuckets run_buckets(const TierView& tier, std::size_t t) {
  if (tier.n == 0) return {nullptr, nullptr, 0};
  return {tier.table_bucket_keys(t), tier.table_bucket_starts(t), tier.table_buckets(t)};
}

}  // namespace

void validate_promote(const Index& ix, std::size_t m, std::size_t width) {
  if (ix.d == 0) throw InvalidArgument("the index has not been built");
  if (width != ix.d)
    throw InvalidArgument("new_candidates have " + std::to_string(width) +
                          " columns but the index has d = " + std::to_string(ix.d));
  if (ix.n_points >= max_tier_points || m >= max_tier_points) throw InvalidArgument(tier_too_large);
}

void promote(Index& ix, Array<double> rows, std::size_t m, std::size_t width) {
  validate_promote(ix, m, width);
  const std::size_t L = ix.l, d = ix.d;
  const std::size_t n_s = ix.n_static, N = ix.n_points;

  // First everything that can fail or stop (allocations, the new batch's
  // hashing, checks), with the record untouched; then, when nothing can
  // fail any more, the merge into the arrays allocated for it, giving back
  // the pages of the old tables and coordinates as they are merged, so that
  // the old and the new ids are never resident together.
  const TierView stat = static_tier(ix), cand = cand_tier(ix);
  // Entries per table: the tiers' points less the retired ones, which have
  // none (and get none: the merge copies entries only).
  const std::size_t e_s = stat.n, e_c = cand.n, e_merged = e_s + e_c;
  // The candidate tier always has the static tier's kind of directory (the
  // static tier may be empty).
  const std::size_t stride = cand.dir != nullptr ? cand.stride : 0;
  const std::size_t n_merges = e_c != 0 ? L : 0;
  Tier merged;
  if (e_c != 0) {
    merged.entries = merged.ids_per_table = e_merged;
    if (stride != 0) {
      if (!directory_covers(ix.cand_tables.offsets, stride, e_c) ||
          (e_s != 0 && !directory_covers(ix.static_tables.offsets, stride, e_s)))
        throw Panic("a bucket directory does not cover its table");
      merged.offsets = merged_offsets(ix);
    } else {
      // The merged tables' buckets, without their ids.
      std::vector<TableBuckets> buckets(L);
      parallel::for_each(L, [&](std::size_t t) {
        merge_by_buckets({nullptr, 0, e_c}, run_buckets(cand, t), {nullptr, 0, e_s},
                         run_buckets(stat, t), nullptr, &buckets[t]);
      });
      join_buckets(merged, buckets);
    }
    merged.ids.reserve(checked_mul(L, e_merged));
    // The merge copies the static ids as they are: unchecked ones stay so.
    merged.ids_unchecked = ix.static_tables.ids_unchecked;
  }
  // The batch's single-precision rows are written straight to their place
  // at install.
  Array<float> grown_f32 = room_for(ix.coords_f32, rows.size());

  // The new batch, ids N .. N + m - 1, sorted from scratch.
  Tier batch = hash_sort_tier(ix, rows.data(), d, 0, m);

  // Install. Nothing can fail or stop from here.
  parallel::NoInterrupts commit;
  if (e_c != 0) merged.ids.resize(L * e_merged);  // within the capacity reserved
  parallel::for_each(1 + n_merges, [&](std::size_t task) noexcept {
    if (task == 0) {
      Array<float>& to = grown_f32.capacity() != 0 ? grown_f32 : ix.coords_f32;
      if (&to != &ix.coords_f32) move_into_reserved(ix.coords_f32, to);
      const std::size_t at = to.size();
      to.resize(at + rows.size());  // within the capacity
      wrap_to_f32(rows.data(), to.data() + at, rows.size());
      return;
    }
    // Candidates first on equal keys, their ids given back their base.
    const std::size_t t = task - 1;
    const MergeRun c{cand.table_ids(t), static_cast<uint32_t>(n_s), e_c};
    const MergeRun s{e_s != 0 ? stat.table_ids(t) : nullptr, 0, e_s};
    uint32_t* out = merged.ids.data() + t * e_merged;
    if (stride != 0)
      merge_by_directory(c, cand.dir + t * stride, s,
                         stat.dir != nullptr ? stat.dir + t * stride : nullptr, stride, out);
    else
      merge_by_buckets(c, run_buckets(cand, t), s, run_buckets(stat, t), out, nullptr);
    // Only this task reads table t of either tier.
    const std::size_t p_c = cand.ids_per_table, p_s = stat.ids_per_table;
    release_elements(ix.cand_tables.ids, t * p_c, (t + 1) * p_c);
    release_elements(ix.static_tables.ids, t * p_s, (t + 1) * p_s);
  });
  if (e_c != 0) {
    free_released(ix.static_tables.ids);
    free_released(ix.cand_tables.ids);
    ix.static_tables = std::move(merged);
  }
  ix.n_static = N;
  if (grown_f32.capacity() != 0) {
    free_released(ix.coords_f32);
    ix.coords_f32 = std::move(grown_f32);
  }
  ix.cand_f64 = std::move(rows);
  ix.n_points = N + m;
  ix.cand_tables = std::move(batch);
  // The kept arrays are bounded by what the index now holds.
  const IndexBytes held = index_bytes(ix);
  ix.reuse.set_index_bytes(held.total() - held.reuse);
}

}  // namespace plovik
