// Reading and clearing the query counters.
#pragma once

#include <cstdint>

#include "index/record.hpp"

namespace plovik {

struct StatsSnapshot {
  uint64_t gather_ns, refine_ns, relax_ns, queries, cands, pairs, relaxed;
};

// Each counter is loaded on its own: no snapshot across counters.
StatsSnapshot read_stats(const Index& ix);
void reset_stats(const Index& ix);  // counters are mutable atomics

}  // namespace plovik
