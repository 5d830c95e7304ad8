// k-nearest search: path choice, the per-query path and the shared pieces.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/query/batch.hpp"
#include "index/record.hpp"

namespace plovik {

struct KnnResult {
  Array<int64_t> idx;  // m * k, row-major, padded with -1
  Array<double> dist;  // m * k, row-major, padded with +inf
};

// Rows ascending by (distance bits, id). Throws Panic when exclude holds
// fewer than m entries, InvalidArgument when a built index gets queries of a
// width other than d, std::bad_alloc when m * k cannot be allocated.
KnnResult query_knn(const Index& ix, const QueryBatch& q, std::size_t k);

}  // namespace plovik
