// The query counters of an index. One list names them; the record's atomic
// counters, the tallies the query paths add and the stats() dictionary are
// all made from it (the descriptions say what each counts; docs/raw-index.md
// lists them for users, since the stats() docstring is a fixed text). Each answered query
// (per-query path) or block (batched path) adds its tally with relaxed atomic adds, so a concurrent
// stats() may see one of them partly applied.
#pragma once

#include <atomic>
#include <cstdint>

// X(name, description) for every counter, in the order stats() lists them.
#define PLOVIK_QUERY_COUNTERS(X)                                                      \
  X(gather_ns, "worker nanoseconds gathering candidates (per-query path)")            \
  X(refine_ns, "worker nanoseconds measuring them (the batched path's block search)") \
  X(relax_ns, "worker nanoseconds in relaxed searches")                               \
  X(queries, "queries answered")                                                      \
  X(cands, "candidate ids gathered (per-query path)")                                 \
  X(pairs, "distances measured")                                                      \
  X(relaxed, "queries that widened their search")

namespace plovik {

// A tally of every counter as plain numbers: what one query or one block
// adds, or what a snapshot read.
struct QueryCounts {
#define PLOVIK_COUNT_FIELD(name, description) uint64_t name = 0;
  PLOVIK_QUERY_COUNTERS(PLOVIK_COUNT_FIELD)
#undef PLOVIK_COUNT_FIELD

  // Calls f(name, value) for every counter, in list order.
  template <class F>
  void for_each(F&& f) const {
#define PLOVIK_COUNT_VISIT(name, description) f(#name, name);
    PLOVIK_QUERY_COUNTERS(PLOVIK_COUNT_VISIT)
#undef PLOVIK_COUNT_VISIT
  }
};

// The cumulative counters held by the record: the only part of it written
// under shared access (relaxed atomic adds from query workers, stores of
// zero from reset_stats), hence const members over mutable atomics.
class QueryCounters {
 public:
  void add(const QueryCounts& c) const noexcept {
#define PLOVIK_COUNT_ADD(name, description) name##_.fetch_add(c.name, std::memory_order_relaxed);
    PLOVIK_QUERY_COUNTERS(PLOVIK_COUNT_ADD)
#undef PLOVIK_COUNT_ADD
  }

  // Each counter is loaded on its own: no snapshot across counters.
  QueryCounts snapshot() const noexcept {
    QueryCounts c;
#define PLOVIK_COUNT_LOAD(name, description) c.name = name##_.load(std::memory_order_relaxed);
    PLOVIK_QUERY_COUNTERS(PLOVIK_COUNT_LOAD)
#undef PLOVIK_COUNT_LOAD
    return c;
  }

  void reset() const noexcept {
#define PLOVIK_COUNT_RESET(name, description) name##_.store(0, std::memory_order_relaxed);
    PLOVIK_QUERY_COUNTERS(PLOVIK_COUNT_RESET)
#undef PLOVIK_COUNT_RESET
  }

 private:
#define PLOVIK_COUNT_ATOMIC(name, description) mutable std::atomic<uint64_t> name##_{0};
  PLOVIK_QUERY_COUNTERS(PLOVIK_COUNT_ATOMIC)
#undef PLOVIK_COUNT_ATOMIC
};

}  // namespace plovik
