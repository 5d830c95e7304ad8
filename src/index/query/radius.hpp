// Fixed-radius search in compressed sparse row form.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/query/batch.hpp"
#include "index/record.hpp"

namespace plovik {

struct RadiusResult {
  Array<int64_t> indptr;  // m + 1
  Array<int64_t> ids;     // indptr[m]
  Array<double> dists;    // indptr[m]
};

RadiusResult query_radius(const Index& ix, const QueryBatch& q, double radius);

}  // namespace plovik
