#include "index/batched/query_block.hpp"

#include <algorithm>
#include <cstring>

#include "index/batched/kernels.hpp"
#include "index/batched/lookahead.hpp"
#include "index/batched/probe_sort.hpp"
#include "index/cpu_features.hpp"
#include "index/hash/keys.hpp"
#include "index/hash/probes.hpp"
#include "index/query/topk.hpp"
#include "index/tiers/ranges.hpp"
#include "parallel/interrupt.hpp"

namespace plovik {

namespace {

// The heap of one query while rows are measured against it.
struct QueryHeap {
  Slot* heap;
  std::size_t k;
  std::size_t len;
  int64_t excluded;
  uint32_t worst_bits = 0;  // the entry a candidate must beat: the root when
  int64_t worst_id = 0;     // full, else the largest pair, which all others beat

  QueryHeap(Slot* heap, std::size_t k, std::size_t len, int64_t excluded)
      : heap(heap), k(k), len(len), excluded(excluded) {
    reload_worst();
  }

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
  // its scan for a repeated id) every candidate that cannot enter. The
  // excluded id never enters; it is looked for only among the few
  // candidates that pass the test. (A retired point has no entry in the
  // tables, so no bucket holds one.)
  void offer(uint32_t bits, int64_t id) {
    if (bits < worst_bits || (bits == worst_bits && id < worst_id)) {
      if (id == excluded) return;
      heap_offer(heap, k, len, bits, id);
      reload_worst();
    }
  }
};

// Query q against n rows, row(0) to row(n - 1), with ids ids[0 .. n): in
// groups of four while four remain, then the last one to three rows one at
// a time. In place, the rows are read where they lie in coords_f32 and each
// is announced to the lookahead before it is read.
template <bool InPlace, class Kernel, class RowAt>
void measure_rows(const Kernel& kernel, const float* q, RowAt row, const int64_t* ids,
                  std::size_t n, QueryHeap& h, BlockPrefetch& ahead) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    if constexpr (InPlace)
      for (int r = 0; r < 4; ++r) ahead.on_row();
    uint32_t bits[4];
    kernel.group(q, Rows4{{row(i), row(i + 1), row(i + 2), row(i + 3)}}, bits);
    // A group whose four distances all exceed the worst kept one cannot
    // change the heap (its worst only improves while the group is offered).
    const uint32_t w = h.worst_bits;
    if ((bits[0] > w) & (bits[1] > w) & (bits[2] > w) & (bits[3] > w)) continue;
    for (std::size_t r = 0; r < 4; ++r) h.offer(bits[r], ids[i + r]);
  }
  for (; i < n; ++i) {
    if constexpr (InPlace) ahead.on_row();
    h.offer(distance_bits(kernel.single(q, row(i))), ids[i]);
  }
}

// Positions of `key` in table t: through the dense directory, else by a
// lower bound over the table's occupied keys that starts at bucket `from`,
// since the keys of a table are walked in ascending order and no bucket
// lies before the previous one.
Range bucket(const TierView& tier, std::size_t t, int64_t key, std::size_t& from) {
  if (tier.dir != nullptr) return tier_range(tier, t, key, 1);
  const int64_t* keys = tier.table_bucket_keys(t);
  const std::size_t nb = tier.table_buckets(t);
  const uint32_t* starts = tier.table_bucket_starts(t);
  const std::size_t b = from + lower_bound(keys + from, nb - from, key);
  from = b;
  return {starts[b], b < nb && keys[b] == key ? starts[b + 1] : starts[b]};
}

// Probe keys of every query of the block in table t, sorted by key, then by
// query.
void table_probe_keys(const Index& ix, BlockWorkspace& w, const double* rows, std::size_t nb,
                      std::size_t t) {
  const std::size_t d = ix.d;
  w.probe_keys.resize(checked_mul(nb, 1 + w.flips));
  ProbeKey* out = w.probe_keys.data();
  for (std::size_t j = 0; j < nb; ++j) {
    const auto query = static_cast<uint32_t>(j);
    table_probes(ix, w.flips, rows + j * d, t, w.codes.data(), w.fracs.data(), w.margins.data(),
                 [&](uint64_t key) { *out++ = {static_cast<int64_t>(key), query}; });
  }
  sort_probe_keys(w.probe_keys, w.probe_scratch);
}

// The key runs of table t whose bucket holds an entry, into w.runs; returns
// the pairs they measure: bucket size times the entries of the run.
uint64_t find_runs(const Index& ix, BlockWorkspace& w, std::size_t t) {
  const TierView stat = static_tier(ix), cand = cand_tier(ix);
  const bool has_static = stat.n > 0, has_cand = cand.n > 0;
  const ProbeKey* pk = w.probe_keys.data();
  const std::size_t n_keys = w.probe_keys.size();
  std::size_t from_static = 0, from_cand = 0, largest = 0;
  uint64_t pairs = 0;
  w.runs.clear();
  for (std::size_t i = 0, e; i < n_keys; i = e) {
    const int64_t key = pk[i].key;
    for (e = i + 1; e < n_keys && pk[e].key == key;) ++e;
    const Range s = has_static ? bucket(stat, t, key, from_static) : Range{0, 0};
    const Range c = has_cand ? bucket(cand, t, key, from_cand) : Range{0, 0};
    const KeyRun run{i,
                     e - i,
                     static_cast<uint32_t>(s.start),
                     static_cast<uint32_t>(s.end),
                     static_cast<uint32_t>(c.start),
                     static_cast<uint32_t>(c.end)};
    if (run.size() == 0) continue;
    pairs += static_cast<uint64_t>(run.size()) * run.count;
    largest = std::max(largest, run.size());
    w.runs.push_back(run);
  }
  if (w.bucket_ids.size() < largest) w.bucket_ids.resize(largest);
  return pairs;
}

// Keeps, in order, the ids of ids[0 .. size) but the static ones (the
// first n_static_part) not below n_static; returns how many it kept.
std::size_t drop_outside(int64_t* ids, std::size_t n_static_part, std::size_t size,
                         std::size_t n_static) {
  std::size_t kept = 0;
  for (std::size_t p = 0; p < size; ++p)
    if (p >= n_static_part || static_cast<uint64_t>(ids[p]) < n_static) ids[kept++] = ids[p];
  return kept;
}

// Every run of table t: its bucket's ids, cut into tiles of 128 rows whose
// coordinates are copied and measured against each entry of the run in
// order. Reads and writes the workspace's arrays without resizing them.
template <class Kernel>
void walk_runs(const Index& ix, BlockWorkspace& w, std::size_t t, std::size_t k,
               const Kernel& kernel) {
  const std::size_t d = Kernel::dim > 0 ? Kernel::dim : ix.d;
  const float* coords = ix.coords_f32.data();
  const ProbeKey* pk = w.probe_keys.data();
  const KeyRun* runs = w.runs.data();
  const std::size_t n_runs = w.runs.size();
  const TierView stat = static_tier(ix), cand = cand_tier(ix);
  BlockPrefetch ahead{runs,
                      n_runs,
                      stat.n > 0 ? stat.table_ids(t) : nullptr,
                      cand.n > 0 ? cand.table_ids(t) : nullptr,
                      cand.base,
                      coords,
                      d,
                      ix.n_points};
  const bool unchecked = ix.static_tables.ids_unchecked;
  for (std::size_t i = 0; i < n_runs; ++i) {
    ahead.ids_through(i + ids_runs_ahead);
    if (i + heaps_runs_ahead < n_runs)
      prefetch_entries(runs[i + heaps_runs_ahead], pk, w.heaps.data(), k, w.queries_f32.data(), d);
    const KeyRun& run = runs[i];
    std::size_t size = run.size();
    int64_t* bucket_ids = w.bucket_ids.data();
    for (std::size_t p = 0; p < size; ++p) bucket_ids[p] = ahead.id_at(run, p);
    if (unchecked) size = drop_outside(bucket_ids, run.in_static(), size, ix.n_static);
    for (std::size_t first = 0; first < size; first += tile_rows) {
      const std::size_t n = std::min(tile_rows, size - first);
      const int64_t* ids = bucket_ids + first;
      if (run.count == 1) {
        // A bucket probed once: its rows would be read from the tile only
        // once, so they are measured where they lie. Same rows, same
        // groups of four, same sums as through the tile.
        const std::size_t j = pk[run.first].query;
        QueryHeap h(w.heaps.data() + j * k, k, w.heap_lens[j], w.exclude[j]);
        const auto row = [&](std::size_t r) {
          return coords + static_cast<std::size_t>(ids[r]) * d;
        };
        measure_rows<true>(kernel, w.queries_f32.data() + j * d, row, ids, n, h, ahead);
        w.heap_lens[j] = static_cast<uint32_t>(h.len);
        continue;
      }
      float* tile = w.tile.data();
      for (std::size_t r = 0; r < n; ++r) {
        ahead.on_row();
        std::memcpy(tile + r * d, coords + static_cast<std::size_t>(ids[r]) * d, d * sizeof(float));
        w.tile_ids[r] = ids[r];
      }
      const auto row = [&](std::size_t r) -> const float* { return tile + r * d; };
      for (std::size_t e = run.first; e < run.first + run.count; ++e) {
        const std::size_t j = pk[e].query;
        QueryHeap h(w.heaps.data() + j * k, k, w.heap_lens[j], w.exclude[j]);
        measure_rows<false>(kernel, w.queries_f32.data() + j * d, row, w.tile_ids.data(), n, h,
                            ahead);
        w.heap_lens[j] = static_cast<uint32_t>(h.len);
      }
    }
  }
}

// The walk is compiled twice: for the baseline instruction set and for
// AVX2, taken when the processor has it. Both run the same operations in the
// same order (the kernels' sums are unchanged; the wider encoding only
// spares register copies), so the rows are the same bit for bit.
template <class Kernel>
[[gnu::flatten]] void walk_runs_baseline(const Index& ix, BlockWorkspace& w, std::size_t t,
                                         std::size_t k, const Kernel& kernel) {
  walk_runs(ix, w, t, k, kernel);
}

#if PLOVIK_AVX2_TARGET
template <class Kernel>
[[gnu::flatten, gnu::target("avx2")]] void walk_runs_avx2(const Index& ix, BlockWorkspace& w,
                                                          std::size_t t, std::size_t k,
                                                          const Kernel& kernel) {
  walk_runs(ix, w, t, k, kernel);
}
#endif

template <class Kernel>
uint64_t walk_tables(const Index& ix, BlockWorkspace& w, const double* rows, std::size_t nb,
                     std::size_t k, const Kernel& kernel) {
  const bool avx2 = cpu_has_avx2();
  uint64_t pairs = 0;
  for (std::size_t t = 0; t < ix.l; ++t) {
    // A block is one parallel task; a large one takes a while per table.
    parallel::check_interrupt();
    table_probe_keys(ix, w, rows, nb, t);
    pairs += find_runs(ix, w, t);
#if PLOVIK_AVX2_TARGET
    if (avx2) {
      walk_runs_avx2(ix, w, t, k, kernel);
      continue;
    }
#endif
    walk_runs_baseline(ix, w, t, k, kernel);
  }
  (void)avx2;
  return pairs;
}

}  // namespace

uint64_t query_block(const Index& ix, BlockWorkspace& w, const double* rows, std::size_t nb,
                     std::size_t k, const int64_t* exclude) {
  const std::size_t d = ix.d, components = ix.k;
  w.queries_f32.resize(checked_mul(nb, d));
  for (std::size_t i = 0; i < nb * d; ++i) w.queries_f32[i] = wrap_f32(rows[i]);
  w.exclude.resize(nb);
  for (std::size_t j = 0; j < nb; ++j) w.exclude[j] = exclude != nullptr ? exclude[j] : -1;
  w.heaps.resize(checked_mul(nb, k));
  w.heap_lens.assign(nb, 0);
  w.codes.resize(components);
  w.fracs.resize(components);
  w.margins.resize(components);
  w.tile.resize(checked_mul(tile_rows, d));
  if (w.tile_ids.size() != tile_rows) w.tile_ids.assign(tile_rows, 0);
  if (ix.l == 0) return 0;
  // The d = 8, 16 and 24 kernels have their own association; the others
  // measure like torus_l1_f32, unrolled for a few common dimensions.
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
