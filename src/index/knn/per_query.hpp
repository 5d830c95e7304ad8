// The per-query k-nearest path behind query_knn (the blocked one is in
// index/batched). It fills the rows of its queries in the (m, k) output
// arrays, which arrive padded with -1 / +inf.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/query/batch.hpp"
#include "index/query/relax.hpp"
#include "index/record.hpp"

namespace plovik {

// Answers every query on its own: gather its probed buckets, measure, keep
// the k best, relax when fewer than `need` were found. Adds the per-query
// counters to the record once every row is written. Requires q.dq == ix.d
// on a built index and exclude_ids of at least m entries.
void knn_per_query(const Index& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                   int64_t* idx, double* dist);

// The same rows with every gathered id measured by `refine` (with
// `context`), relaxations included: the answer in a metric of the caller's.
void knn_per_query(const Index& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                   int64_t* idx, double* dist, RefineGathered refine, const void* context);

}  // namespace plovik
