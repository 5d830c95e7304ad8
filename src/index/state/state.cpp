#include "index/state/state.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "index/errors.hpp"
#include "index/memory/all_finite.hpp"
#include "index/tiers/directory.hpp"
#include "index/tiers/drop_retired.hpp"
#include "index/tiers/ranges.hpp"
#include "index/tiers/sort_tier.hpp"
#include "index/write/construct.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

using std::to_string;

[[noreturn]] void refuse(const std::string& message) { throw InvalidArgument("state: " + message); }

std::string shape(StateShape s) { return "(" + to_string(s.rows) + ", " + to_string(s.cols) + ")"; }

std::size_t product_or_max(std::size_t a, std::size_t b) {
  std::size_t r;
  return __builtin_mul_overflow(a, b, &r) ? SIZE_MAX : r;
}

void check_tier_sizes(const StateSizes& z, const StateSizes::Tier& t, const std::string& name,
                      std::size_t points) {
  if (t.ids.rows != z.l)
    refuse(name + "_ids must have L = " + to_string(z.l) + " rows, not " + to_string(t.ids.rows));
  const std::size_t m = t.ids.cols;
  if (m > points)
    refuse(name + "_ids has " + to_string(m) + " entries per table but the tier holds only " +
           to_string(points) + " points");
  if (z.d == 0) {
    if (t.bucket_keys != 0) refuse(name + "_bucket_keys must be empty for an unbuilt index");
    if (t.bucket_starts != 0 && t.bucket_starts != z.l)
      refuse(name + "_bucket_starts must be empty for an unbuilt index");
    if (t.first_bucket != 0 && t.first_bucket != z.l + 1)
      refuse(name + "_first_bucket must be empty for an unbuilt index");
    return;
  }
  if (t.first_bucket != z.l + 1)
    refuse(name + "_first_bucket must have L + 1 = " + to_string(z.l + 1) + " entries, not " +
           to_string(t.first_bucket));
  // Every bucket holds an entry: at most m buckets per table.
  if (t.bucket_keys > product_or_max(z.l, m))
    refuse(name + "_bucket_keys has " + to_string(t.bucket_keys) + " buckets, more than the " +
           to_string(z.l) + " x " + to_string(m) + " entries");
  if (t.bucket_starts != t.bucket_keys + z.l)
    refuse(name + "_bucket_starts must have one entry per bucket and one per table (" +
           to_string(t.bucket_keys + z.l) + "), not " + to_string(t.bucket_starts));
}

// The first problem of table t of a tier, or an empty string.
std::string table_problem(const IndexState& st, const TierState& tier, const char* name,
                          std::size_t points, uint64_t base, const RetiredSet& retired,
                          const Array<uint64_t>& taken, std::size_t t, int64_t space,
                          std::vector<uint64_t>& seen) {
  const std::size_t L = st.l, m = tier.m;
  const std::string where = std::string(name) + " table " + to_string(t);
  const uint64_t first = tier.first_bucket[t], last = tier.first_bucket[t + 1];
  if (t == 0 && first != 0) return std::string(name) + "_first_bucket must start at 0";
  if (last < first) return std::string(name) + "_first_bucket must not decrease (" + where + ")";
  if (last > tier.bucket_keys.size())
    return std::string(name) + "_first_bucket goes beyond the buckets (" + where + ")";
  if (t + 1 == L && last != tier.bucket_keys.size())
    return std::string(name) + "_first_bucket must end at the number of buckets";
  const std::size_t nb = static_cast<std::size_t>(last - first);
  const int64_t* keys = tier.bucket_keys.data() + first;
  for (std::size_t j = 0; j < nb; ++j) {
    if (keys[j] < 0 || keys[j] >= space)
      return std::string(name) + "_bucket_keys holds a key outside [0, b**k) (" + where + ")";
    if (j > 0 && keys[j] <= keys[j - 1])
      return std::string(name) + "_bucket_keys must ascend strictly (" + where + ")";
  }
  const uint32_t* starts = tier.bucket_starts.data() + first + t;
  if (starts[0] != 0) return std::string(name) + "_bucket_starts must start at 0 (" + where + ")";
  for (std::size_t j = 0; j < nb; ++j)
    if (starts[j + 1] <= starts[j])
      return std::string(name) + "_bucket_starts must increase strictly (" + where + ")";
  if (starts[nb] != m)
    return std::string(name) + "_bucket_starts must end at the entries per table, " + to_string(m) +
           " (" + where + ")";
  if (tier.ids_mapped) return {};
  // Distinct ids below the tier's size, none retired.
  const uint32_t* ids = tier.ids.data() + t * m;
  const std::size_t j = first_bad_id(ids, m, points, taken, seen);
  if (j == m) return {};
  const uint32_t id = ids[j];
  if (id >= points)
    return std::string(name) + "_ids holds " + to_string(id) + ", not below the tier's " +
           to_string(points) + " points (" + where + ")";
  if (retired.contains(base + id))
    return std::string(name) + "_ids holds " + to_string(id) + ", a retired point (" + where + ")";
  return std::string(name) + "_ids repeats " + to_string(id) + " (" + where + ")";
  return {};
}

// Each table of a tier holds exactly its live points: m entries, the
// tier's points less its retired ones, none of them retired (update and
// promote rely on every live point having its entries).
void check_tier_values(const IndexState& st, const TierState& tier, const char* name,
                       std::size_t points, uint64_t base, const RetiredSet& retired) {
  if (st.d == 0) {
    for (uint32_t v : tier.bucket_starts)
      if (v != 0) refuse(std::string(name) + "_bucket_starts must be 0 for an unbuilt index");
    for (uint64_t v : tier.first_bucket)
      if (v != 0) refuse(std::string(name) + "_first_bucket must be 0 for an unbuilt index");
    return;
  }
  const std::size_t live = points - retired.count_in(base, base + points);
  if (tier.m != live)
    refuse(std::string(name) + "_ids has " + to_string(tier.m) +
           " entries per table; the tier has " + to_string(live) + " live points");
  const int64_t keys_below = checked_key_space(st.b, st.k).value_or(0);
  std::vector<std::string> problems(st.l);
  const Array<uint64_t> taken = tier_retired_bits(retired, base, points);
  // One table per task, each thread with its own bits of the ids seen.
  parallel::for_tasks(
      st.l, [] { return std::vector<uint64_t>(); },
      [&](std::vector<uint64_t>& seen, std::size_t t) {
        problems[t] =
            table_problem(st, tier, name, points, base, retired, taken, t, keys_below, seen);
      });
  for (const std::string& p : problems)
    if (!p.empty()) refuse(p);
}

Tier make_tier(const Index& ix, TierState&& ts) {
  Tier tier;
  if (ts.m == 0) return tier;
  tier.entries = tier.ids_per_table = ts.m;
  tier.ids = std::move(ts.ids);
  tier.ids_unchecked = ts.ids_mapped;
  const std::size_t stride = directory_stride(ix);
  if (stride == 0) {
    tier.bucket_keys = std::move(ts.bucket_keys);
    tier.bucket_starts = std::move(ts.bucket_starts);
    tier.first_bucket = std::move(ts.first_bucket);
    return tier;
  }
  // Entry c of a table's row: its entries whose key is below c, the start
  // of its first bucket whose key is c or more.
  tier.offsets.resize(checked_mul(ix.l, stride));
  for (std::size_t t = 0; t < ix.l; ++t) {
    const std::size_t first = ts.first_bucket[t], nb = ts.first_bucket[t + 1] - first;
    const int64_t* keys = ts.bucket_keys.data() + first;
    const uint32_t* starts = ts.bucket_starts.data() + first + t;
    uint32_t* row = tier.offsets.data() + t * stride;
    std::size_t j = 0;
    for (std::size_t c = 0; c < stride; ++c) {
      while (j < nb && keys[j] < static_cast<int64_t>(c)) ++j;
      row[c] = starts[j];
    }
  }
  return tier;
}

}  // namespace

void validate_state_sizes(const StateSizes& sizes) {
  if (sizes.d == 0 && (sizes.n_points != 0 || sizes.n_static != 0))
    refuse("an unbuilt index (d = 0) has no points, yet n_points = " + to_string(sizes.n_points) +
           " and n_static = " + to_string(sizes.n_static));
  if (sizes.n_static > sizes.n_points)
    refuse("n_static (" + to_string(sizes.n_static) + ") exceeds n_points (" +
           to_string(sizes.n_points) + ")");
  const std::size_t n_cand = sizes.n_points - sizes.n_static;
  if (sizes.n_static >= max_tier_points || n_cand >= max_tier_points) refuse(tier_too_large);
  const std::size_t lk = product_or_max(sizes.l, sizes.k);
  if (sizes.s != lk)
    refuse("s must hold L * K = " + to_string(sizes.l) + " * " + to_string(sizes.k) + " values");
  if (sizes.u != lk)
    refuse("u must hold L * K = " + to_string(sizes.l) + " * " + to_string(sizes.k) + " values");
  if (sizes.d != 0) {
    if (sizes.b < 1) refuse("b must be at least 1");
    if (sizes.k == 0) refuse("k must be at least 1");
    if (sizes.l == 0) refuse("l must be at least 1");
    if (!checked_key_space(sizes.b, sizes.k)) refuse("b**k must not exceed 2**63 - 1");
  }
  if (sizes.coords.rows != sizes.n_points || sizes.coords.cols != sizes.d)
    refuse("coords must have shape (n_points, d) = " + shape({sizes.n_points, sizes.d}) + ", not " +
           shape(sizes.coords));
  if (sizes.cand_coords.rows != n_cand || sizes.cand_coords.cols != sizes.d)
    refuse("cand_coords must have shape (n_points - n_static, d) = " + shape({n_cand, sizes.d}) +
           ", not " + shape(sizes.cand_coords));
  check_tier_sizes(sizes, sizes.stat, "static", sizes.n_static);
  check_tier_sizes(sizes, sizes.cand, "cand", n_cand);
  if (sizes.retired > sizes.n_points / 64 + (sizes.n_points % 64 != 0))
    refuse("retired has " + to_string(sizes.retired) + " words, more than " +
           to_string(sizes.n_points) + " points need");
}

void validate_state_values(const IndexState& st) {
  if (st.d != 0)
    for (int64_t c : st.s)
      if (c < 0 || static_cast<uint64_t>(c) >= st.d)
        refuse("s must hold coordinate indices in [0, d) for d = " + to_string(st.d));
  if (!st.coords_mapped && !all_finite(st.coords)) refuse("coords must be finite");
  if (!all_finite(st.cand_coords)) refuse("cand_coords must be finite");
  for (std::size_t w = 0; w < st.retired.size(); ++w) {
    const uint64_t below = st.n_points - std::min<std::size_t>(st.n_points, w * 64);
    if (below < 64 && (st.retired[w] >> below) != 0)
      refuse("retired marks an id at or beyond n_points = " + to_string(st.n_points));
  }
  RetiredSet retired;
  retired.words.assign(st.retired.begin(), st.retired.end());
  check_tier_values(st, st.stat, "static", st.n_static, 0, retired);
  check_tier_values(st, st.cand, "cand", st.n_points - st.n_static, st.n_static, retired);
}

void install_state(Index& ix, IndexState&& st) {
  construct(ix, st.b, st.k, st.l, st.probes, st.block, std::move(st.s), std::move(st.u));
  ix.d = st.d;
  ix.n_points = st.n_points;
  ix.n_static = st.n_static;
  ix.coords_f32 = std::move(st.coords);
  ix.cand_f64 = std::move(st.cand_coords);
  ix.static_tables = make_tier(ix, std::move(st.stat));
  ix.cand_tables = make_tier(ix, std::move(st.cand));
  std::size_t count = 0;
  for (uint64_t w : st.retired) count += static_cast<std::size_t>(__builtin_popcountll(w));
  ix.retired.words = std::move(st.retired);
  ix.retired.count = count;
  ix.counters.add(st.counts);
}

TierExportSizes tier_export_sizes(const Index& ix, bool cand) {
  if (ix.d == 0) return {};
  const TierView v = cand ? cand_tier(ix) : static_tier(ix);
  TierExportSizes out{v.n, 0};
  if (v.n == 0) return out;
  if (v.dir == nullptr) {
    out.buckets = static_cast<std::size_t>(v.first_bucket[ix.l]);
    return out;
  }
  for (std::size_t t = 0; t < ix.l; ++t) {
    const uint32_t* row = v.dir + t * v.stride;
    for (std::size_t c = 0; c + 1 < v.stride; ++c) out.buckets += row[c + 1] > row[c];
  }
  return out;
}

void export_tier(const Index& ix, bool cand, uint32_t* ids, int64_t* keys, uint32_t* starts,
                 uint64_t* first) {
  if (ix.d == 0) return;
  const TierView v = cand ? cand_tier(ix) : static_tier(ix);
  const std::size_t L = ix.l;
  if (v.n == 0) {
    std::memset(starts, 0, L * sizeof(uint32_t));
    std::memset(first, 0, (L + 1) * sizeof(uint64_t));
    return;
  }
  for (std::size_t t = 0; t < L; ++t)
    std::memcpy(ids + t * v.n, v.table_ids(t), v.n * sizeof(uint32_t));
  if (v.dir == nullptr) {
    const std::size_t buckets = static_cast<std::size_t>(v.first_bucket[L]);
    if (buckets != 0) std::memcpy(keys, v.bucket_keys, buckets * sizeof(int64_t));
    std::memcpy(starts, v.bucket_starts, (buckets + L) * sizeof(uint32_t));
    std::memcpy(first, v.first_bucket, (L + 1) * sizeof(uint64_t));
    return;
  }
  std::size_t at = 0;
  for (std::size_t t = 0; t < L; ++t) {
    first[t] = at;
    const uint32_t* row = v.dir + t * v.stride;
    for (std::size_t c = 0; c + 1 < v.stride; ++c)
      if (row[c + 1] > row[c]) {
        keys[at] = static_cast<int64_t>(c);
        starts[at + t] = row[c];
        ++at;
      }
    starts[at + t] = static_cast<uint32_t>(v.n);
  }
  first[L] = at;
}

}  // namespace plovik
