// One block of the blocked batch search: every query of the block against
// every bucket it probes, each bucket looked up once per table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/batched/workspace.hpp"
#include "index/record.hpp"

namespace plovik {

// Measures the nb queries `rows` (nb x d values, d = ix.d) against the
// buckets of their probes and keeps each query's k best in w.heaps (query
// j's heap in slots j*k .. j*k + w.heap_lens[j] - 1, heap-ordered).
// exclude is null or the block's nb excluded ids. Ids are not deduplicated
// before measuring: a point reached through several probes is offered each
// time and ignored once its query holds it. Returns the pairs measured:
// over tables and key runs, bucket size times the entries of the run.
uint64_t query_block(const Index& ix, BlockWorkspace& w, const double* rows, std::size_t nb,
                     std::size_t k, const int64_t* exclude);

}  // namespace plovik
