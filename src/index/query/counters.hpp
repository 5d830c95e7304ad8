// The query counters: each answered query (per-query path) or block
// (batched path) adds its counts to the record with relaxed atomic adds, so
// a concurrent stats() may see one of them partly applied.
#pragma once

#include <atomic>
#include <cstdint>

#include "index/record.hpp"

namespace plovik {

struct QueryCounts {
  uint64_t gather_ns = 0, refine_ns = 0, relax_ns = 0, queries = 0, cands = 0, pairs = 0,
           relaxed = 0;
};

inline void add_counts(const Index& ix, const QueryCounts& c) noexcept {
  constexpr auto r = std::memory_order_relaxed;
  ix.gather_ns.fetch_add(c.gather_ns, r);
  ix.refine_ns.fetch_add(c.refine_ns, r);
  ix.relax_ns.fetch_add(c.relax_ns, r);
  ix.queries.fetch_add(c.queries, r);
  ix.cands.fetch_add(c.cands, r);
  ix.pairs.fetch_add(c.pairs, r);
  ix.relaxed.fetch_add(c.relaxed, r);
}

}  // namespace plovik
