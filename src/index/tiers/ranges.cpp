#include "index/tiers/ranges.hpp"

namespace plovik {

namespace {

TierView view(const Array<int64_t>& keys, const Array<int64_t>& ids, const Array<uint32_t>& dir,
              std::size_t n, std::size_t L) {
  TierView v;
  v.keys = keys.data();
  v.ids = ids.data();
  v.n = n;
  if (!dir.empty() && L > 0) {
    v.dir = dir.data();
    v.stride = dir.size() / L;
  }
  return v;
}

}  // namespace

TierView static_tier(const Index& ix) {
  return view(ix.static_keys, ix.static_ids, ix.static_offsets, ix.n_static, ix.l);
}

TierView cand_tier(const Index& ix) {
  return view(ix.cand_sorted_keys, ix.cand_sorted_ids, ix.cand_offsets, ix.n_cand(), ix.l);
}

void lower_bounds_interleaved(const TierView& tier, const Probe* probes, std::size_t count,
                              uint64_t* pos) {
  for (std::size_t i = 0; i < count; ++i) pos[i] = 0;
  // Invariant: probe i's answer lies in [pos[i], pos[i] + length]; the
  // shared length shrinks the same way for every probe.
  std::size_t length = tier.n;
  while (length > 1) {
    const std::size_t half = length / 2;
    for (std::size_t i = 0; i < count; ++i) {
      const int64_t* run = tier.table_keys(probes[i].table);
      const int64_t key = static_cast<int64_t>(probes[i].key);
      pos[i] += run[pos[i] + half - 1] < key ? half : 0;
    }
    length -= half;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const int64_t* run = tier.table_keys(probes[i].table);
    pos[i] += run[pos[i]] < static_cast<int64_t>(probes[i].key) ? 1 : 0;
  }
}

}  // namespace plovik
