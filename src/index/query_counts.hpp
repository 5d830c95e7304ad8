// The query counters of one call. Tasks count locally, their counts are
// summed per call, and the sum reaches the record only once the call has
// succeeded: a call that fails leaves the counters as they were.
#pragma once

#include <atomic>
#include <cstdint>

#include "record.hpp"

namespace plovik {

struct QueryCounts {
  uint64_t gather_ns = 0, refine_ns = 0, relax_ns = 0, queries = 0, cands = 0, pairs = 0,
           relaxed = 0;
};

class CallCounts {
 public:
  // From any task, once per task.
  void merge(const QueryCounts& c) noexcept {
    constexpr auto r = std::memory_order_relaxed;
    gather_ns_.fetch_add(c.gather_ns, r);
    refine_ns_.fetch_add(c.refine_ns, r);
    relax_ns_.fetch_add(c.relax_ns, r);
    queries_.fetch_add(c.queries, r);
    cands_.fetch_add(c.cands, r);
    pairs_.fetch_add(c.pairs, r);
    relaxed_.fetch_add(c.relaxed, r);
  }

  // After every task has finished.
  void add_to(const RustLshIndex& ix) const noexcept {
    constexpr auto r = std::memory_order_relaxed;
    ix.gather_ns.fetch_add(gather_ns_.load(r), r);
    ix.refine_ns.fetch_add(refine_ns_.load(r), r);
    ix.relax_ns.fetch_add(relax_ns_.load(r), r);
    ix.queries.fetch_add(queries_.load(r), r);
    ix.cands.fetch_add(cands_.load(r), r);
    ix.pairs.fetch_add(pairs_.load(r), r);
    ix.relaxed.fetch_add(relaxed_.load(r), r);
  }

 private:
  std::atomic<uint64_t> gather_ns_{0}, refine_ns_{0}, relax_ns_{0}, queries_{0}, cands_{0},
      pairs_{0}, relaxed_{0};
};

// A task's own counts, merged into the call's when the task ends (also when
// it ends by an exception; a failed call then discards the call's counts).
class TaskCounts {
 public:
  explicit TaskCounts(CallCounts& call) : call_(call) {}
  ~TaskCounts() { call_.merge(counts); }
  TaskCounts(const TaskCounts&) = delete;
  TaskCounts& operator=(const TaskCounts&) = delete;

  QueryCounts counts;

 private:
  CallCounts& call_;
};

}  // namespace plovik
