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
  if (ix.n_points >= max_tier_points || m >= max_tier_points)
    throw InvalidArgument("a tier must hold fewer than 2**32 points");
}

void promote(Index& ix, Array<double> rows, std::size_t m, std::size_t width) {
  validate_promote(ix, m, width);
  const std::size_t L = ix.l, d = ix.d;
  const std::size_t n_s = ix.n_static, n_c = ix.n_cand(), N = ix.n_points;

  // Everything new is built aside; the record changes only at the end, so
  // a failure on the way (memory) leaves the index as it was.

  // One job merges the tables, task 0 growing the coordinates meanwhile;
  // the new batch is hashed and sorted after it, a few tables at a time.
  const TierView stat = static_tier(ix), cand = cand_tier(ix);
  // The candidate tier always has the static tier's kind of directory (the
  // static tier may be empty).
  const std::size_t stride = cand.dir != nullptr ? cand.stride : 0;
  Tier merged;
  std::vector<TableBuckets> buckets;
  const std::size_t n_merges = n_c != 0 ? L : 0;
  if (n_c != 0) {
    merged.ids.resize(checked_mul(L, N));
    if (stride == 0) buckets.resize(L);
  }
  Array<float> f32(rows.size());
  Array<float> grown_f32;
  Array<uint8_t> merged_ok(n_merges, 1);
  parallel::for_each(1 + n_merges, [&](std::size_t task) {
    if (task == 0) {
      wrap_to_f32(rows.data(), f32.data(), rows.size());
      grown_f32 = grown_with(ix.coords_f32, f32.data(), f32.size());
      return;
    }
    // Candidates first on equal keys, their ids given back their base.
    const std::size_t t = task - 1;
    const MergeRun c{cand.table_ids(t), static_cast<uint32_t>(n_s), n_c};
    const MergeRun s{n_s != 0 ? stat.table_ids(t) : nullptr, 0, n_s};
    uint32_t* out = merged.ids.data() + t * N;
    if (stride != 0)
      merged_ok[t] = merge_by_directory(
          c, cand.dir + t * stride, s, stat.dir != nullptr ? stat.dir + t * stride : nullptr,
          stride, out);
    else
      merge_by_buckets(c, run_buckets(cand, t), s, run_buckets(stat, t), out, buckets[t]);
  });
  for (uint8_t ok : merged_ok)
    if (!ok) throw Panic("a bucket directory does not cover its table");
  if (n_c != 0) {
    if (stride != 0)
      merged.offsets = merged_offsets(ix);
    else
      join_buckets(merged, buckets);
  }

  // The new batch, ids N .. N + m - 1, sorted from scratch.
  Tier batch = hash_sort_tier(ix, rows.data(), d, 0, m);

  // Install: moves, and appends within capacity. Nothing can fail or stop
  // from here.
  parallel::NoInterrupts commit;
  if (n_c != 0) ix.static_tables = std::move(merged);
  ix.n_static = N;
  if (grown_f32.capacity() != 0)
    ix.coords_f32 = std::move(grown_f32);
  else
    append_in_place(ix.coords_f32, f32.data(), f32.size());
  ix.cand_f64 = std::move(rows);
  ix.n_points = N + m;
  ix.cand_tables = std::move(batch);
}

}  // namespace plovik
