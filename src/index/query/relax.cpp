#include "index/query/relax.hpp"

#include "index/hash/keys.hpp"
#include "index/query/gather.hpp"
#include "index/query/refine.hpp"
#include "index/tiers/ranges.hpp"
#include "parallel/interrupt.hpp"

namespace plovik {

namespace {

// ⌊key / span⌋ · span with division truncating toward zero.
inline int64_t range_start(int64_t key, int64_t span) { return key / span * span; }

// Span b^j of the first level j in 1 .. K - 1 whose ranges hold at least
// 4 * neighbours entries (entries, not distinct points; a retired point has
// none), or 0 when none does.
uint64_t relaxation_span(const Index& ix, const int64_t* keys, std::size_t neighbours) {
  const TierView stat = static_tier(ix), cand = cand_tier(ix);
  const bool has_static = stat.n > 0, has_cand = cand.n > 0;
  for (std::size_t j = 1; j < ix.k; ++j) {
    const uint64_t span = ix.radix[j];
    uint64_t total = 0;
    for (std::size_t t = 0; t < ix.l; ++t) {
      const int64_t lo = range_start(keys[t], static_cast<int64_t>(span));
      if (has_static) {
        const Range s = tier_range(stat, t, lo, span);
        total += s.end - s.start;
      }
      if (has_cand) {
        const Range c = tier_range(cand, t, lo, span);
        total += c.end - c.start;
      }
    }
    if (total / 4 >= neighbours) return span;  // total >= 4 * neighbours without overflow
  }
  return 0;
}

void refine_l1(const Index& ix, const QueryWorkspace& ws, TopK& top, int64_t excluded,
               const void*) {
  refine_topk(ix, ws, top, excluded);
}

}  // namespace

void relax_query(const Index& ix, QueryWorkspace& ws, TopK& top, const double* row,
                 int64_t excluded, std::size_t need) {
  relax_query(ix, ws, top, row, excluded, need, refine_l1, nullptr);
}

void relax_query(const Index& ix, QueryWorkspace& ws, TopK& top, const double* row,
                 int64_t excluded, std::size_t need, RefineGathered refine, const void* context) {
  // Each level measures its gathered ids afresh.
  const auto refine_fresh = [&] {
    top.len = 0;
    refine(ix, ws, top, excluded, context);
  };
  // A relaxed query may compare every point; a batched block relaxes its
  // queries one after the other inside one task.
  parallel::check_interrupt();
  const std::size_t L = ix.l;
  ws.base_keys.resize(L);
  int64_t* keys = ws.base_keys.data();
  for (std::size_t t = 0; t < L; ++t)
    keys[t] = query_codes(ix, row, t, ws.codes.data(), ws.fracs.data());

  if (const uint64_t span = relaxation_span(ix, keys, top.k()); span != 0) {
    begin_gather(ws);
    for (std::size_t t = 0; t < L; ++t)
      gather_range(ix, ws, t, range_start(keys[t], static_cast<int64_t>(span)), span);
    refine_fresh();
    if (top.len >= need) return;
  }
  // Every point, each exactly once, through table 0.
  const int64_t all = key_space(ix);
  begin_gather(ws);
  gather_range(ix, ws, 0, range_start(keys[0], all), static_cast<uint64_t>(all));
  refine_fresh();
}

}  // namespace plovik
