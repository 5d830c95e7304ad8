#include "index/tiers/sort_tier.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "index/errors.hpp"
#include "index/hash/keys.hpp"
#include "index/tiers/directory.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// Per-task buffers, reused for every table the task sorts.
struct SortScratch {
  Array<uint32_t> counts;
  Array<std::pair<int64_t, uint32_t>> pairs;
  Array<int64_t> run;  // the sorted keys of the table, for its directory
};

// Positions enter in ascending order and the counting sort is stable, so
// equal keys come out in ascending position order, written straight to ids.
// The histogram's prefix sums are the table's dense directory (written to
// dir when given), else give its occupied buckets. Returns false (with ids
// unusable) when a key lies outside [0, space).
bool counting_sort(const int64_t* in, std::size_t n, int64_t space, SortScratch& scratch,
                   uint32_t* ids, uint32_t* dir, TableBuckets& buckets) {
  if (!counting_sort_by_key(
          n, space, [in](std::size_t i) { return in[i]; },
          [](std::size_t i) { return static_cast<uint32_t>(i); }, ids, scratch.counts))
    return false;
  // counts[c] is now the end of key c's run.
  const uint32_t* ends = scratch.counts.data();
  const std::size_t S = static_cast<std::size_t>(space);
  if (dir != nullptr) {
    // Entry c of the directory counts the keys below c: the end of key c - 1.
    dir[0] = 0;
    std::memcpy(dir + 1, ends, S * sizeof(uint32_t));
    return true;
  }
  buckets.keys.clear();
  buckets.starts.clear();
  uint32_t start = 0;
  for (std::size_t c = 0; c < S; start = ends[c], ++c)
    if (ends[c] != start) {
      buckets.keys.push_back(static_cast<int64_t>(c));
      buckets.starts.push_back(start);
    }
  buckets.starts.push_back(static_cast<uint32_t>(n));
  return true;
}

// Sorts (key, position) pairs: the ids to `ids`, the keys to scratch.run.
void comparison_sort(const int64_t* in, std::size_t n, SortScratch& scratch, uint32_t* ids) {
  scratch.pairs.resize(n);
  for (std::size_t i = 0; i < n; ++i) scratch.pairs[i] = {in[i], static_cast<uint32_t>(i)};
  std::sort(scratch.pairs.begin(), scratch.pairs.end());
  scratch.run.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    scratch.run[i] = scratch.pairs[i].first;
    ids[i] = scratch.pairs[i].second;
  }
}

}  // namespace

// A counting sort pays O(S) per table for its histogram; beyond this the
// comparison sort is cheaper.
bool counting_sort_pays(int64_t space, std::size_t n) {
  return space > 0 && space <= (int64_t{1} << 24) &&
         static_cast<uint64_t>(space) <= 4 * static_cast<uint64_t>(n) + 4096;
}

namespace {

// The tables of a tier being sorted: allocated whole, filled a span of
// tables at a time.
struct TierBuilder {
  const Index& ix;
  std::size_t n;
  std::size_t stride;
  Tier out;
  std::vector<TableBuckets> buckets;

  TierBuilder(const Index& ix, std::size_t n)
      : ix(ix), n(n), stride(n != 0 ? directory_stride(ix) : 0), buckets(ix.l) {
    out.entries = out.ids_per_table = n;
    out.ids.resize(checked_mul(ix.l, n));
    if (stride != 0) out.offsets.resize(checked_mul(ix.l, stride));
  }

  // Sorts the tables of `tables` from their keys (tables.count x n).
  void sort(const int64_t* keys, TableSpan tables) {
    const int64_t space = key_space(ix);
    const bool counting = counting_sort_pays(space, n);
    parallel::for_tasks(
        tables.count, [] { return SortScratch{}; },
        [&](SortScratch& scratch, std::size_t u) {
          const std::size_t t = tables.first + u;
          const int64_t* run_in = keys + u * n;
          uint32_t* ids = out.ids.data() + t * n;
          // The dense directory's stride is b^K + 1, the histogram's size.
          uint32_t* dir = stride != 0 ? out.offsets.data() + t * stride : nullptr;
          if (counting && counting_sort(run_in, n, space, scratch, ids, dir, buckets[t])) return;
          comparison_sort(run_in, n, scratch, ids);
          if (dir != nullptr)
            table_offsets(scratch.run.data(), n, dir, stride);
          else
            buckets_of_run(scratch.run.data(), n, buckets[t]);
        });
  }

  Tier finish() {
    if (n == 0) return std::move(out);
    if (stride != 0) {
      // Keys lie in [0, b^K) by their formula; a directory that misses one
      // would lose entries.
      if (!directory_covers(out.offsets, stride, n))
        throw Panic("a key lies outside the key space");
    } else {
      join_buckets(out, buckets);
    }
    return std::move(out);
  }
};

}  // namespace

Tier sort_tier(const Index& ix, const int64_t* keys, std::size_t n) {
  TierBuilder tier(ix, n);
  if (n != 0) tier.sort(keys, {0, ix.l});
  return tier.finish();
}

Tier hash_sort_tier(const Index& ix, const double* coords, std::size_t d, std::size_t base,
                    std::size_t n) {
  TierBuilder tier(ix, n);
  // A quarter of the tables at a time: their keys take half the bytes of
  // the tier's ids, and each pass over the rows still hashes several tables.
  const std::size_t group = (ix.l + 3) / 4;
  for (std::size_t first = 0; first < ix.l && n != 0; first += group) {
    const TableSpan tables{first, std::min(group, ix.l - first)};
    tier.sort(compute_keys(ix, coords, d, base, n, tables).data(), tables);
  }
  return tier.finish();
}

}  // namespace plovik
