#include <algorithm>
#include <utility>

#include "parallel/pool.hpp"
#include "tiers.hpp"

namespace plovik {

namespace {

// Ids enter in ascending order and a counting sort is stable, so equal keys
// come out in ascending id order. Sorts keys[0..n) in place. Returns false
// (changing nothing) when a key lies outside [0, space).
bool counting_sort(int64_t* keys, std::size_t n, std::size_t base, int64_t space,
                   Array<uint32_t>& counts, int64_t* out_ids) {
  const std::size_t S = static_cast<std::size_t>(space);
  counts.assign(S + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const int64_t key = keys[i];
    if (key < 0 || key >= space) return false;
    ++counts[static_cast<std::size_t>(key) + 1];
  }
  // counts[c] becomes the first position of key c.
  for (std::size_t c = 0; c < S; ++c) counts[c + 1] += counts[c];
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t at = counts[static_cast<std::size_t>(keys[i])]++;
    out_ids[at] = static_cast<int64_t>(base + i);
  }
  // counts[c] is now the end of key c's run: write the keys as runs.
  std::size_t pos = 0;
  for (std::size_t c = 0; c < S; ++c) {
    std::fill(keys + pos, keys + counts[c], static_cast<int64_t>(c));
    pos = counts[c];
  }
  return true;
}

void comparison_sort(int64_t* keys, std::size_t n, std::size_t base,
                     Array<std::pair<int64_t, int64_t>>& pairs, int64_t* out_ids) {
  pairs.resize(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {keys[i], static_cast<int64_t>(base + i)};
  std::sort(pairs.begin(), pairs.end());
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = pairs[i].first;
    out_ids[i] = pairs[i].second;
  }
}

}  // namespace

// A counting sort pays O(S) per table for its histogram; beyond this the
// comparison sort is cheaper.
bool counting_sort_pays(int64_t space, std::size_t n) {
  return space > 0 && space <= (int64_t{1} << 24) &&
         static_cast<uint64_t>(space) <= 4 * static_cast<uint64_t>(n) + 4096;
}

SortedTier sort_tier(const RustLshIndex& ix, Array<int64_t>&& keys, std::size_t n,
                     std::size_t base) {
  const std::size_t L = ix.l;
  SortedTier out;
  out.ids.resize(checked_mul(L, n));
  out.keys = std::move(keys);
  if (n == 0) return out;
  const int64_t space = ix.k == 0 ? 1 : key_space(ix);
  const bool counting = counting_sort_pays(space, n);
  struct Scratch {
    Array<uint32_t> counts;
    Array<std::pair<int64_t, int64_t>> pairs;
  };
  parallel::for_tasks(
      L, [] { return Scratch{}; },
      [&](Scratch& scratch, std::size_t t) {
        int64_t* run = out.keys.data() + t * n;
        int64_t* ids = out.ids.data() + t * n;
        if (counting && counting_sort(run, n, base, space, scratch.counts, ids)) return;
        comparison_sort(run, n, base, scratch.pairs, ids);
      });
  return out;
}

}  // namespace plovik
