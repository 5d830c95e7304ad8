// k-nearest search: path choice, the per-query path and the shared pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "index/memory/array.hpp"
#include "index/query/batch.hpp"
#include "index/record.hpp"

namespace plovik {

struct KnnResult {
  Array<int64_t> idx;  // m * k, row-major, padded with -1
  Array<double> dist;  // m * k, row-major, padded with +inf
};

// Rows ascending by (distance bits, id). Checks its sizes first, as
// validate_query_knn does, before any work or counting.
KnnResult query_knn(const Index& ix, const QueryBatch& q, std::size_t k);

// The checks query_knn makes from the sizes alone (m queries of dq columns,
// n_exclude excluded ids when given): InvalidArgument when a built index
// gets a width other than d, Panic when exclude_ids holds fewer than m
// entries, std::bad_alloc when no (m, k) array of eight-byte values can
// exist.
void validate_query_knn(const Index& ix, std::size_t m, std::size_t dq,
                        std::optional<std::size_t> n_exclude, std::size_t k);

// The most answers a row can have: every point not retired, less the
// excluded one when exclusions are given; at most k. A row with fewer
// relaxes.
std::size_t answers_needed(const Index& ix, const QueryBatch& q, std::size_t k);

}  // namespace plovik
