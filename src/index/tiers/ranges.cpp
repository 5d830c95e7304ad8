#include "index/tiers/ranges.hpp"

#include <algorithm>

namespace plovik {

TierView tier_view(const Tier& tier, uint64_t base, std::size_t L) {
  TierView v;
  v.ids = tier.ids.data();
  v.base = base;
  v.n = tier.entries;
  v.ids_per_table = tier.ids_per_table;
  v.unchecked = tier.ids_unchecked;
  if (!tier.offsets.empty() && L > 0) {
    v.dir = tier.offsets.data();
    v.stride = tier.offsets.size() / L;
  }
  v.bucket_keys = tier.bucket_keys.data();
  v.bucket_starts = tier.bucket_starts.data();
  v.first_bucket = tier.first_bucket.data();
  return v;
}

TierView static_tier(const Index& ix) {
  TierView v = tier_view(ix.static_tables, 0, ix.l);
  v.limit = ix.n_static;
  return v;
}

TierView cand_tier(const Index& ix) {
  TierView v = tier_view(ix.cand_tables, ix.n_static, ix.l);
  v.limit = ix.n_cand();
  return v;
}

void buckets_interleaved(const TierView& tier, const Probe* probes, std::size_t count,
                         uint64_t* pos, Range* out) {
  // Invariant: probe i's bucket index lies in [pos[i], pos[i] + length[i]];
  // lengths differ between tables, so each probe keeps its own, held in
  // out[i].end until the last pass.
  std::size_t longest = 0;
  for (std::size_t i = 0; i < count; ++i) {
    pos[i] = 0;
    out[i].end = tier.table_buckets(probes[i].table);
    longest = std::max<std::size_t>(longest, out[i].end);
  }
  for (std::size_t length = longest; length > 1; length -= length / 2) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t own = out[i].end;
      if (own <= 1) continue;
      const std::size_t half = own / 2;
      const int64_t* keys = tier.table_bucket_keys(probes[i].table);
      pos[i] += keys[pos[i] + half - 1] < static_cast<int64_t>(probes[i].key) ? half : 0;
      out[i].end = own - half;
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t t = probes[i].table;
    const int64_t* keys = tier.table_bucket_keys(t);
    const std::size_t buckets = tier.table_buckets(t);
    const auto key = static_cast<int64_t>(probes[i].key);
    std::size_t b = pos[i];
    if (out[i].end == 1 && b < buckets && keys[b] < key) ++b;
    const uint32_t* starts = tier.table_bucket_starts(t);
    const bool hit = b < buckets && keys[b] == key;
    out[i] = {starts[b], hit ? starts[b + 1] : starts[b]};
  }
}

void expand_table_keys(const TierView& tier, std::size_t t, int64_t* out) {
  if (tier.n == 0) return;
  if (tier.dir != nullptr) {
    const uint32_t* row = tier.dir + t * tier.stride;
    for (std::size_t c = 0; c + 1 < tier.stride; ++c)
      std::fill(out + row[c], out + row[c + 1], static_cast<int64_t>(c));
    return;
  }
  const int64_t* keys = tier.table_bucket_keys(t);
  const uint32_t* starts = tier.table_bucket_starts(t);
  for (std::size_t j = 0, nb = tier.table_buckets(t); j < nb; ++j)
    std::fill(out + starts[j], out + starts[j + 1], keys[j]);
}

void expand_tier(const TierView& tier, std::size_t L, int64_t* keys, int64_t* ids,
                 int64_t* keys_by_id, std::size_t points) {
  const std::size_t n = tier.n;
  for (std::size_t t = 0; t < L && n != 0; ++t) {
    int64_t* run = keys + t * n;
    expand_table_keys(tier, t, run);
    const uint32_t* stored = tier.table_ids(t);
    for (std::size_t j = 0; j < n; ++j)
      ids[t * n + j] = static_cast<int64_t>(tier.base + stored[j]);
    if (keys_by_id != nullptr)
      for (std::size_t j = 0; j < n; ++j) keys_by_id[t * points + stored[j]] = run[j];
  }
}

}  // namespace plovik
