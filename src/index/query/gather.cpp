#include "index/query/gather.hpp"

#include "index/hash/probes.hpp"
#include "index/memory/prefetch.hpp"
#include "index/tiers/ranges.hpp"

namespace plovik {

namespace {

// Empties ws.probe_list and fills it with the probes of every table, tables
// in order. Leaves codes and fracs of the last table in ws.
void build_probe_list(const Index& ix, QueryWorkspace& ws, const double* row) {
  const std::size_t L = ix.l;
  ws.probe_list.resize(L * (1 + ws.flips));
  Probe* out = ws.probe_list.data();
  for (std::size_t t = 0; t < L; ++t) {
    const auto table = static_cast<uint32_t>(t);
    table_probes(ix, ws.flips, row, t, ws.codes.data(), ws.fracs.data(), ws.margins.data(),
                 [&](uint64_t key) { *out++ = {table, key}; });
  }
}

// Appends the unmarked ids of ids[r.start .. r.end) (each plus base) and
// marks them: one compare and one store per id. Checked: ids of an
// unchecked tier, each skipped unless below limit.
template <bool Checked>
inline void collect(QueryWorkspace& ws, const uint32_t* ids, uint64_t base, uint64_t limit,
                    Range r) {
  if (r.end <= r.start) return;
  const std::size_t len = r.end - r.start;
  std::size_t at = ws.gathered.size();
  ws.gathered.resize(at + len);  // no initialisation; trimmed below
  uint64_t* out = ws.gathered.data();
  uint32_t* mark = ws.mark.data();
  const uint32_t epoch = ws.epoch;
  for (std::size_t p = r.start; p < r.end; ++p) {
    if (Checked && ids[p] >= limit) continue;
    const uint64_t id = base + ids[p];
    if (mark[id] != epoch) {
      mark[id] = epoch;
      out[at++] = id;
    }
  }
  ws.gathered.resize(at);
}

inline void collect(QueryWorkspace& ws, const TierView& tier, std::size_t t, Range r) {
  if (tier.unchecked)
    collect<true>(ws, tier.table_ids(t), tier.base, tier.limit, r);
  else
    collect<false>(ws, tier.table_ids(t), tier.base, 0, r);
}

// Buckets this many probes ahead have their ids fetched while the current
// one is collected.
constexpr std::size_t ids_ahead = 4;

// Collects the buckets ws.probe_ranges[0 .. count) of `tier`, probe by probe.
void collect_buckets(QueryWorkspace& ws, const TierView& tier) {
  const Probe* probes = ws.probe_list.data();
  const Range* ranges = ws.probe_ranges.data();
  const std::size_t count = ws.probe_list.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (i + ids_ahead < count) {
      const Range& r = ranges[i + ids_ahead];
      prefetch_span(tier.table_ids(probes[i + ids_ahead].table) + r.start, r.end - r.start);
    }
    collect(ws, tier, probes[i].table, ranges[i]);
  }
}

// Bucket of every probe in a tier with a directory: two reads each.
void directory_buckets(QueryWorkspace& ws, const TierView& tier) {
  const Probe* probes = ws.probe_list.data();
  const std::size_t count = ws.probe_list.size();
  ws.probe_ranges.resize(count);
  Range* ranges = ws.probe_ranges.data();
  for (std::size_t i = 0; i < count; ++i) {
    const uint32_t* at = tier.dir + probes[i].table * tier.stride + probes[i].key;
    ranges[i] = {at[0], at[1]};
  }
}

// Bucket of every probe in a tier without a dense directory: interleaved
// lower bounds over the keys of the occupied buckets.
void searched_buckets(QueryWorkspace& ws, const TierView& tier) {
  const std::size_t count = ws.probe_list.size();
  ws.probe_pos.resize(count);
  ws.probe_ranges.resize(count);
  buckets_interleaved(tier, ws.probe_list.data(), count, ws.probe_pos.data(),
                      ws.probe_ranges.data());
}

}  // namespace

void gather_range(const Index& ix, QueryWorkspace& ws, std::size_t t, int64_t lo, uint64_t span) {
  const TierView stat = static_tier(ix);
  collect(ws, stat, t, tier_range(stat, t, lo, span));
  if (ix.n_cand() > 0) {
    const TierView cand = cand_tier(ix);
    collect(ws, cand, t, tier_range(cand, t, lo, span));
  }
}

void gather_query(const Index& ix, QueryWorkspace& ws, const double* row) {
  begin_gather(ws);
  build_probe_list(ix, ws, row);
  if (ix.n_static > 0) {
    const TierView stat = static_tier(ix);
    if (stat.dir != nullptr)
      directory_buckets(ws, stat);
    else
      searched_buckets(ws, stat);
    collect_buckets(ws, stat);
  }
  if (ix.n_cand() > 0) {
    const TierView cand = cand_tier(ix);
    if (cand.dir != nullptr)
      directory_buckets(ws, cand);
    else
      searched_buckets(ws, cand);
    collect_buckets(ws, cand);
  }
}

}  // namespace plovik
