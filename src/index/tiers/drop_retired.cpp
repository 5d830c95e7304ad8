#include "index/tiers/drop_retired.hpp"

#include <vector>

#include "index/errors.hpp"
#include "index/tiers/directory.hpp"
#include "index/tiers/ranges.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// Copies the kept ids of in[begin, end) to out[o ..], never at or past
// out[cap]; returns o plus the ids kept, counted on past cap.
inline std::size_t keep_live(const uint32_t* in, std::size_t begin, std::size_t end,
                             uint64_t base, const RetiredSet& retired, uint32_t* out,
                             std::size_t o, std::size_t cap) {
  for (std::size_t p = begin; p < end; ++p)
    if (!retired.contains(base + in[p])) {
      if (o < cap) out[o] = in[p];
      ++o;
    }
  return o;
}

}  // namespace

Tier drop_retired(const Index& ix, const Tier& tier, uint64_t base, const RetiredSet& retired,
                  std::size_t entries) {
  Tier out;
  if (entries == 0) return out;
  const std::size_t L = ix.l;
  const TierView old = tier_view(tier, base, L);
  out.entries = entries;
  out.ids.resize(checked_mul(L, entries));
  const std::size_t stride = old.dir != nullptr ? old.stride : 0;
  if (stride != 0) out.offsets.resize(checked_mul(L, stride));
  std::vector<TableBuckets> buckets(stride == 0 ? L : 0);
  parallel::for_each(L, [&](std::size_t t) {
    const uint32_t* in = old.table_ids(t);
    uint32_t* ids = out.ids.data() + t * entries;
    std::size_t o = 0;
    if (stride != 0) {
      // Entry c counts the kept keys below c: the kept entries of the
      // buckets before c.
      const uint32_t* row = old.dir + t * stride;
      uint32_t* dir = out.offsets.data() + t * stride;
      for (std::size_t c = 0; c + 1 < stride; ++c) {
        dir[c] = static_cast<uint32_t>(o);
        o = keep_live(in, row[c], row[c + 1], base, retired, ids, o, entries);
      }
      dir[stride - 1] = static_cast<uint32_t>(o);
    } else {
      const int64_t* keys = old.table_bucket_keys(t);
      const uint32_t* starts = old.table_bucket_starts(t);
      TableBuckets& kept = buckets[t];
      for (std::size_t j = 0, nb = old.table_buckets(t); j < nb; ++j) {
        const std::size_t start = o;
        o = keep_live(in, starts[j], starts[j + 1], base, retired, ids, o, entries);
        if (o == start) continue;  // every entry of the bucket retired
        kept.keys.push_back(keys[j]);
        kept.starts.push_back(static_cast<uint32_t>(start));
      }
      kept.starts.push_back(static_cast<uint32_t>(o));
    }
    if (o != entries) throw Panic("a table holds another number of live entries than its tier");
  });
  if (stride == 0) join_buckets(out, buckets);
  return out;
}

}  // namespace plovik
