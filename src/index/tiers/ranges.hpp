// Locating key intervals in the sorted tables of a tier: through the bucket
// directory when the tier has one, else by lower-bound searches.
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

// One tier's sorted tables, read-only.
struct TierView {
  const int64_t* keys = nullptr;  // table-major L x n, ascending per table
  const int64_t* ids = nullptr;   // same layout
  const uint32_t* dir = nullptr;  // L x stride directory, or nullptr
  std::size_t n = 0;              // entries per table
  std::size_t stride = 0;         // b^K + 1 with a directory, else 0

  const int64_t* table_keys(std::size_t t) const { return keys + t * n; }
  const int64_t* table_ids(std::size_t t) const { return ids + t * n; }
};

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
  const int64_t* run = tier.table_keys(t);
  return {lower_bound(run, tier.n, lo), lower_bound(run, tier.n, hi)};
}

// Lower bound of every probe's key in its table of `tier` (n >= 1), all
// searches advancing together pass by pass so that their memory reads
// overlap. pos[i] ends equal to lower_bound(table run, n, key of probe i).
void lower_bounds_interleaved(const TierView& tier, const Probe* probes, std::size_t count,
                              uint64_t* pos);

}  // namespace plovik
