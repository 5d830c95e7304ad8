// Locating key intervals in the tables of a tier: through the dense bucket
// directory when the tier has one, else by lower-bound searches over the
// keys of its occupied buckets. Also the per-entry keys of a table,
// expanded from either directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/hash/probes.hpp"
#include "index/record.hpp"

namespace plovik {

// Half-open run of positions [start, end) within one table of one tier.
struct Range {
  std::size_t start;
  std::size_t end;
};

// One tier's tables, read-only.
struct TierView {
  const uint32_t* ids = nullptr;  // table-major, in key order per table
  uint64_t base = 0;              // added to a stored id
  const uint32_t* dir = nullptr;  // L x stride dense directory, or nullptr
  std::size_t n = 0;              // entries per table (Tier::entries)
  std::size_t ids_per_table = 0;  // table t's ids start at t * ids_per_table
  std::size_t stride = 0;         // b^K + 1 with a dense directory, else 0
  // Without a dense directory (Tier's bucket arrays).
  const int64_t* bucket_keys = nullptr;
  const uint32_t* bucket_starts = nullptr;
  const uint64_t* first_bucket = nullptr;
  // Stored ids are below `limit` (the tier's size) unless `unchecked`
  // (Tier::ids_unchecked): readers then check each one.
  bool unchecked = false;
  uint64_t limit = 0;

  const uint32_t* table_ids(std::size_t t) const { return ids + t * ids_per_table; }
  // Table t's occupied keys, ascending, and their number.
  const int64_t* table_bucket_keys(std::size_t t) const { return bucket_keys + first_bucket[t]; }
  std::size_t table_buckets(std::size_t t) const { return first_bucket[t + 1] - first_bucket[t]; }
  // Start of each of table t's buckets, then n.
  const uint32_t* table_bucket_starts(std::size_t t) const {
    return bucket_starts + first_bucket[t] + t;
  }
};

// The view of `tier` of L tables whose stored ids are less `base`; of the
// index's static tier (base 0) and candidate tier (base n_static).
TierView tier_view(const Tier& tier, uint64_t base, std::size_t L);
TierView static_tier(const Index& ix);
TierView cand_tier(const Index& ix);

// Number of entries of `run` (n keys, ascending) whose key is below `key`,
// signed comparison.
inline std::size_t lower_bound(const int64_t* run, std::size_t n, int64_t key) {
  std::size_t lo = 0;
  while (n > 0) {
    const std::size_t half = n / 2;
    if (run[lo + half] < key) {
      lo += half + 1;
      n -= half + 1;
    } else {
      n = half;
    }
  }
  return lo;
}

// Number of entries of table t whose key is below `key` (tier without a
// dense directory, n >= 1).
inline std::size_t entries_below(const TierView& tier, std::size_t t, int64_t key) {
  return tier.table_bucket_starts(
      t)[lower_bound(tier.table_bucket_keys(t), tier.table_buckets(t), key)];
}

// Positions in table t of the entries with lo <= key < lo + span (lo + span
// formed with 64-bit wrap-around). With a directory the caller guarantees
// lo + span <= b^K.
inline Range tier_range(const TierView& tier, std::size_t t, int64_t lo, uint64_t span) {
  const int64_t hi = static_cast<int64_t>(static_cast<uint64_t>(lo) + span);
  if (tier.dir != nullptr) {
    const uint32_t* row = tier.dir + t * tier.stride;
    return {row[static_cast<uint64_t>(lo)], row[static_cast<uint64_t>(hi)]};
  }
  if (tier.n == 0) return {0, 0};
  return {entries_below(tier, t, lo), entries_below(tier, t, hi)};
}

// Bucket of every probe's key in its table of `tier` (no dense directory,
// n >= 1), all searches advancing together pass by pass so that their
// memory reads overlap. pos is scratch of count entries.
void buckets_interleaved(const TierView& tier, const Probe* probes, std::size_t count,
                         uint64_t* pos, Range* out);

// The n keys of table t, ascending, expanded from the tier's directory.
void expand_table_keys(const TierView& tier, std::size_t t, int64_t* out);

// The per-entry form of a tier's L tables, each table-major L x n: the keys
// in run order, the ids (base added) and, unless null, each entry's key put
// at column id - base of keys_by_id (table-major L x points, points at least
// the highest id - base + 1; columns without an entry are left alone).
void expand_tier(const TierView& tier, std::size_t L, int64_t* keys, int64_t* ids,
                 int64_t* keys_by_id, std::size_t points);

}  // namespace plovik
