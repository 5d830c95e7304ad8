#include "query_block.hpp"

#include <algorithm>
#include <cstring>

#include "block_kernels.hpp"
#include "hash.hpp"
#include "probes.hpp"
#include "ranges.hpp"
#include "topk.hpp"

namespace plovik {

namespace {

// The heap of one query while a tile is measured against it.
struct QueryHeap {
  Slot* heap;
  std::size_t k;
  std::size_t len;
  int64_t excluded;
  uint32_t worst_bits;  // the entry a candidate must beat: the root when
  int64_t worst_id;     // full, else the largest pair, which all others beat

  void reload_worst() {
    if (len == k) {
      worst_bits = heap[0].bits;
      worst_id = heap[0].id;
    } else {
      worst_bits = UINT32_MAX;
      worst_id = INT64_MAX;
    }
  }

  // The inline admission test against the worst slot spares heap_offer (and
  // its scan for a repeated id) every candidate that cannot enter.
  void offer(uint32_t bits, int64_t id) {
    if (id == excluded) return;
    if (bits < worst_bits || (bits == worst_bits && id < worst_id)) {
      heap_offer(heap, k, len, bits, id);
      reload_worst();
    }
  }
};

// Query q against the n rows of the tile: groups of four rows while four
// remain, then the last one to three rows one at a time.
template <class Kernel>
void measure_tile(const Kernel& kernel, std::size_t d, const float* q, const float* tile,
                  const int64_t* ids, std::size_t n, QueryHeap& h) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    uint32_t bits[4];
    kernel.group(q, tile + i * d, bits);
    for (std::size_t r = 0; r < 4; ++r) h.offer(bits[r], ids[i + r]);
  }
  for (; i < n; ++i) h.offer(distance_bits(kernel.single(q, tile + i * d)), ids[i]);
}

// Positions lo .. hi - 1 of table t holding `key`, through the directory,
// else by lower bounds that start at `from`: the keys of a table are walked
// in ascending order, so no bucket lies before the previous one.
Range bucket(const TierView& tier, std::size_t t, int64_t key, std::size_t& from) {
  if (tier.dir != nullptr) return tier_range(tier, t, key, 1);
  const int64_t* run = tier.table_keys(t);
  const std::size_t lo = from + lower_bound(run + from, tier.n - from, key);
  const std::size_t hi = lo + lower_bound(run + lo, tier.n - lo, key + 1);
  from = lo;
  return {lo, hi};
}

void append_ids(Array<int64_t>& out, const int64_t* ids, Range r) {
  const std::size_t at = out.size();
  out.resize(at + (r.end - r.start));
  std::memcpy(out.data() + at, ids + r.start, (r.end - r.start) * sizeof(int64_t));
}

// Probe keys of every query of the block in table t, sorted by key, then by
// query.
void table_probe_keys(const RustLshIndex& ix, BWs& w, const double* rows, std::size_t nb,
                      std::size_t t) {
  const std::size_t d = ix.d;
  w.probe_keys.resize(nb * (1 + flips_per_table(ix)));
  ProbeKey* out = w.probe_keys.data();
  for (std::size_t j = 0; j < nb; ++j) {
    const auto query = static_cast<uint32_t>(j);
    table_probes(ix, rows + j * d, t, w.codes.data(), w.fracs.data(), w.margins.data(),
                 [&](uint64_t key) { *out++ = {static_cast<int64_t>(key), query}; });
  }
  std::sort(w.probe_keys.begin(), w.probe_keys.end(), [](const ProbeKey& a, const ProbeKey& b) {
    return a.key < b.key || (a.key == b.key && a.query < b.query);
  });
}

template <class Kernel>
uint64_t walk_tables(const RustLshIndex& ix, BWs& w, const double* rows, std::size_t nb,
                     std::size_t k, const Kernel& kernel) {
  const std::size_t d = ix.d;
  const TierView stat = static_tier(ix), cand = cand_tier(ix);
  const bool has_static = ix.n_static > 0, has_cand = ix.n_cand() > 0;
  const float* coords = ix.coords_f32.data();
  uint64_t pairs = 0;
  for (std::size_t t = 0; t < ix.l; ++t) {
    table_probe_keys(ix, w, rows, nb, t);
    const ProbeKey* pk = w.probe_keys.data();
    const std::size_t n_keys = w.probe_keys.size();
    std::size_t from_static = 0, from_cand = 0;
    for (std::size_t i = 0, e; i < n_keys; i = e) {
      const int64_t key = pk[i].key;
      for (e = i + 1; e < n_keys && pk[e].key == key;) ++e;
      w.bucket_ids.clear();
      if (has_static) append_ids(w.bucket_ids, stat.table_ids(t), bucket(stat, t, key, from_static));
      if (has_cand) append_ids(w.bucket_ids, cand.table_ids(t), bucket(cand, t, key, from_cand));
      const std::size_t size = w.bucket_ids.size();
      if (size == 0) continue;
      pairs += static_cast<uint64_t>(size) * (e - i);
      for (std::size_t first = 0; first < size; first += tile_rows) {
        const std::size_t n = std::min(tile_rows, size - first);
        const int64_t* ids = w.bucket_ids.data() + first;
        for (std::size_t r = 0; r < n; ++r) {
          std::memcpy(w.tile.data() + r * d, coords + static_cast<std::size_t>(ids[r]) * d,
                      d * sizeof(float));
          w.tile_ids[r] = ids[r];
        }
        for (std::size_t entry = i; entry < e; ++entry) {
          const std::size_t j = pk[entry].query;
          QueryHeap h{w.heaps.data() + j * k, k, w.heap_lens[j], w.exclude[j], 0, 0};
          h.reload_worst();
          measure_tile(kernel, d, w.queries_f32.data() + j * d, w.tile.data(), w.tile_ids.data(),
                       n, h);
          w.heap_lens[j] = static_cast<uint32_t>(h.len);
        }
      }
    }
  }
  return pairs;
}

}  // namespace

uint64_t query_block(const RustLshIndex& ix, BWs& w, const double* rows, std::size_t nb,
                     std::size_t k, const int64_t* exclude) {
  const std::size_t d = ix.d, K = ix.k;
  w.queries_f32.resize(checked_mul(nb, d));
  for (std::size_t i = 0; i < nb * d; ++i) w.queries_f32[i] = wrap_f32(rows[i]);
  w.exclude.resize(nb);
  for (std::size_t j = 0; j < nb; ++j) w.exclude[j] = exclude != nullptr ? exclude[j] : -1;
  w.heaps.resize(checked_mul(nb, k));
  w.heap_lens.assign(nb, 0);
  w.codes.resize(K);
  w.fracs.resize(K);
  w.margins.resize(K);
  w.tile.resize(checked_mul(tile_rows, d));
  if (w.tile_ids.size() != tile_rows) w.tile_ids.assign(tile_rows, 0);
  if (ix.l == 0) return 0;
  switch (d) {
    case 8: return walk_tables(ix, w, rows, nb, k, KernelD8{});
    case 16: return walk_tables(ix, w, rows, nb, k, KernelD16{});
    case 24: return walk_tables(ix, w, rows, nb, k, KernelD24{});
    case 2: return walk_tables(ix, w, rows, nb, k, KernelGeneral<2>{d});
    case 3: return walk_tables(ix, w, rows, nb, k, KernelGeneral<3>{d});
    case 4: return walk_tables(ix, w, rows, nb, k, KernelGeneral<4>{d});
    case 32: return walk_tables(ix, w, rows, nb, k, KernelGeneral<32>{d});
    default: return walk_tables(ix, w, rows, nb, k, KernelGeneral<0>{d});
  }
}

}  // namespace plovik
