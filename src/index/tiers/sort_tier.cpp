#include "index/tiers/sort_tier.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "index/errors.hpp"
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

Tier sort_tier(const Index& ix, const int64_t* keys, std::size_t n) {
  Tier out;
  const std::size_t L = ix.l;
  out.ids.resize(checked_mul(L, n));
  if (n == 0) return out;
  const std::size_t stride = directory_stride(ix);
  if (stride != 0) out.offsets.resize(checked_mul(L, stride));
  std::vector<TableBuckets> buckets(L);
  const int64_t space = key_space(ix);
  const bool counting = counting_sort_pays(space, n);
  parallel::for_tasks(
      L, [] { return SortScratch{}; },
      [&](SortScratch& scratch, std::size_t t) {
        const int64_t* run_in = keys + t * n;
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
  if (stride != 0) {
    // Keys lie in [0, b^K) by their formula; a directory that misses one
    // would lose entries.
    if (!directory_covers(out.offsets, stride, n)) throw Panic("a key lies outside the key space");
  } else {
    join_buckets(out, buckets);
  }
  return out;
}

}  // namespace plovik
