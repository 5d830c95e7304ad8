// The k-nearest search paths behind query_knn. Each fills the rows of its
// queries in the (m, k) output arrays, which arrive padded with -1 / +inf.
#pragma once

#include <cstddef>
#include <cstdint>

#include "query_batch.hpp"
#include "record.hpp"

namespace plovik {

// Answers every query on its own: gather its probed buckets, measure, keep
// the k best, relax when fewer than `need` were found. Adds the per-query
// counters to the record once every row is written. Requires q.dq == ix.d
// on a built index and exclude_ids of at least m entries.
void knn_per_query(const RustLshIndex& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                   int64_t* idx, double* dist);

// Queries per block of the batched path: a fair share ceil(m / threads) of
// the batch, capped by `block` unless it is 0.
std::size_t effective_block(std::size_t m, std::size_t threads, std::size_t block);

// Answers the batch block by block: per table, each bucket probed by the
// block is looked up once and measured against every query that probes it.
// Same rows as knn_per_query except the last bit of some distances for
// d = 8, 16 and 24. Adds the counters of each block as it ends. Requires
// q.dq == ix.d on a built index and exclude_ids of at least m entries.
void knn_batched(const RustLshIndex& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                 int64_t* idx, double* dist);

}  // namespace plovik
