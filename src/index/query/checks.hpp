// Checks every query operation makes on its batch.
#pragma once

#include <cstddef>
#include <string>

#include "index/errors.hpp"
#include "index/query/batch.hpp"
#include "index/record.hpp"

namespace plovik {

// A built index takes queries of exactly d columns (the hash reads the
// coordinates named by s from each row). An index never built takes any
// width: it hashes nothing.
inline void check_query_width(const Index& ix, const QueryBatch& q) {
  if (ix.d != 0 && q.dq != ix.d)
    throw InvalidArgument("queries have " + std::to_string(q.dq) +
                          " columns but the index has d = " + std::to_string(ix.d));
}

// Rows below `end` read their excluded id: exclude_ids must reach that far.
inline void check_exclusions(const QueryBatch& q, std::size_t end) {
  if (q.exclude && q.exclude->size() < end)
    throw Panic("exclude_ids holds " + std::to_string(q.exclude->size()) +
                " entries but there are " + std::to_string(q.m) + " queries");
}

}  // namespace plovik
