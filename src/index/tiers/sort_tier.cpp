#include "index/tiers/sort_tier.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "index/tiers/directory.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// Per-task buffers, reused for every table the task sorts.
struct SortScratch {
  Array<uint32_t> counts;
  Array<uint32_t> local;  // positions in the run, by sorted place
  Array<std::pair<int64_t, int64_t>> pairs;
};

// Ids enter in ascending order and the counting sort is stable, so equal
// keys come out in ascending id order. Reads in[0..n), writes the sorted keys
// to out (which may be in) and their ids to out_ids. The histogram's prefix
// sums are the table's bucket directory: written to dir when it is given.
// Returns false (writing nothing) when a key lies outside [0, space).
bool counting_sort(const int64_t* in, int64_t* out, std::size_t n, std::size_t base,
                   int64_t space, SortScratch& scratch, int64_t* out_ids, uint32_t* dir) {
  // The entries are placed as 32-bit positions in the run (half the cache
  // lines of the ids), then widened into ids in one sequential pass.
  scratch.local.resize(n);
  uint32_t* loc = scratch.local.data();
  if (!counting_sort_by_key(
          n, space, [in](std::size_t i) { return in[i]; },
          [](std::size_t i) { return static_cast<uint32_t>(i); }, loc, scratch.counts))
    return false;
  const Array<uint32_t>& counts = scratch.counts;
  const std::size_t S = static_cast<std::size_t>(space);
  // Entry c of the directory counts the keys below c: the end of key c - 1.
  if (dir != nullptr) {
    dir[0] = 0;
    std::memcpy(dir + 1, counts.data(), S * sizeof(uint32_t));
  }
  for (std::size_t j = 0; j < n; ++j) out_ids[j] = static_cast<int64_t>(base + loc[j]);
  // counts[c] is now the end of key c's run: write the keys as runs (the
  // input is no longer read, so out may be the same buffer).
  std::size_t pos = 0;
  for (std::size_t c = 0; c < S; ++c) {
    std::fill(out + pos, out + counts[c], static_cast<int64_t>(c));
    pos = counts[c];
  }
  return true;
}

void comparison_sort(const int64_t* in, int64_t* out, std::size_t n, std::size_t base,
                     Array<std::pair<int64_t, int64_t>>& pairs, int64_t* out_ids) {
  pairs.resize(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {in[i], static_cast<int64_t>(base + i)};
  std::sort(pairs.begin(), pairs.end());
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = pairs[i].first;
    out_ids[i] = pairs[i].second;
  }
}

// Sorts every table of `in` into out.keys / out.ids (allocated by the
// caller; out.keys may be the buffer of `in`) and fills out.offsets.
void sort_into(const Index& ix, const int64_t* in, std::size_t n, std::size_t base,
               SortedTier& out) {
  const std::size_t L = ix.l;
  const std::size_t stride = directory_stride(ix);
  if (stride != 0) out.offsets.resize(checked_mul(L, stride));
  const int64_t space = key_space(ix);
  const bool counting = counting_sort_pays(space, n);
  parallel::for_tasks(
      L, [] { return SortScratch{}; },
      [&](SortScratch& scratch, std::size_t t) {
        const int64_t* run_in = in + t * n;
        int64_t* run = out.keys.data() + t * n;
        int64_t* ids = out.ids.data() + t * n;
        // The directory stride is b^K + 1 whenever there is a directory,
        // which is the histogram's size.
        uint32_t* dir = stride != 0 ? out.offsets.data() + t * stride : nullptr;
        if (counting && counting_sort(run_in, run, n, base, space, scratch, ids, dir))
          return;
        comparison_sort(run_in, run, n, base, scratch.pairs, ids);
        if (dir != nullptr) table_offsets(run, n, dir, stride);
      });
}

}  // namespace

// A counting sort pays O(S) per table for its histogram; beyond this the
// comparison sort is cheaper.
bool counting_sort_pays(int64_t space, std::size_t n) {
  return space > 0 && space <= (int64_t{1} << 24) &&
         static_cast<uint64_t>(space) <= 4 * static_cast<uint64_t>(n) + 4096;
}

SortedTier sort_tier(const Index& ix, Array<int64_t>&& keys, std::size_t n,
                     std::size_t base) {
  SortedTier out;
  out.ids.resize(checked_mul(ix.l, n));
  out.keys = std::move(keys);
  if (n != 0) sort_into(ix, out.keys.data(), n, base, out);
  return out;
}

SortedTier sort_tier_of(const Index& ix, const Array<int64_t>& keys, std::size_t n,
                        std::size_t base) {
  SortedTier out;
  out.ids.resize(checked_mul(ix.l, n));
  out.keys.resize(ix.l * n);
  if (n != 0) sort_into(ix, keys.data(), n, base, out);
  return out;
}

}  // namespace plovik
