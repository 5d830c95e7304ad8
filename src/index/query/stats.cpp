#include "index/query/stats.hpp"

namespace plovik {

StatsSnapshot read_stats(const Index& ix) {
  constexpr auto r = std::memory_order_relaxed;
  return {ix.gather_ns.load(r), ix.refine_ns.load(r), ix.relax_ns.load(r), ix.queries.load(r),
          ix.cands.load(r),     ix.pairs.load(r),     ix.relaxed.load(r)};
}

void reset_stats(const Index& ix) {
  constexpr auto r = std::memory_order_relaxed;
  ix.gather_ns.store(0, r);
  ix.refine_ns.store(0, r);
  ix.relax_ns.store(0, r);
  ix.queries.store(0, r);
  ix.cands.store(0, r);
  ix.pairs.store(0, r);
  ix.relaxed.store(0, r);
}

}  // namespace plovik
