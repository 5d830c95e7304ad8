// The blocked k-nearest path behind query_knn, for batches of queries. It
// fills the rows of its queries in the (m, k) output arrays, which arrive
// padded with -1 / +inf.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/query/batch.hpp"
#include "index/record.hpp"

namespace plovik {

// Heap slots a block of the batched path holds at most (16 bytes each):
// its queries times k.
inline constexpr std::size_t max_block_slots = std::size_t{1} << 20;

// Queries per block of the batched path: a fair share ceil(m / threads) of
// the batch, capped by `block` unless it is 0, and by max_block_slots / k
// (at least one query), so that a large k does not make a block's heaps
// outgrow the caches and memory. Rows never depend on the blocks.
std::size_t effective_block(std::size_t m, std::size_t threads, std::size_t block, std::size_t k);

// Answers the batch block by block: per table, each bucket probed by the
// block is looked up once and measured against every query that probes it.
// Same rows as knn_per_query except the last bit of some distances for
// d = 8, 16 and 24. Adds the counters of each block as it ends. Requires
// q.dq == ix.d on a built index and exclude_ids of at least m entries.
void knn_batched(const Index& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                 int64_t* idx, double* dist);

}  // namespace plovik
