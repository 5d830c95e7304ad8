// The fallback for a query whose probed buckets held too few points:
// coarser buckets, else every point of the index.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/query/topk.hpp"
#include "index/query/workspace.hpp"
#include "index/record.hpp"

namespace plovik {

// Replaces the contents of `top` (k = top.k() slots) with the answer of a
// coarser search for the query `row` (d values; ws.query_f32 already
// loaded). Level j ignores the j least significant components of every
// key; the first level whose ranges hold at least 4k entries over all
// tables and both tiers is gathered. When there is no such level, or its
// distinct points still leave fewer than `need` entries, every point is
// gathered through table 0.
void relax_query(const Index& ix, QueryWorkspace& ws, TopK& top, const double* row,
                 int64_t excluded, std::size_t need);

// How a relaxation measures what it gathered: offers every id of
// ws.gathered but `excluded` to `top` (as refine_topk does), `context`
// passed through.
using RefineGathered = void (*)(const Index& ix, const QueryWorkspace& ws, TopK& top,
                                int64_t excluded, const void* context);

// relax_query measuring with `refine` instead of refine_topk (a metric of
// its own): the same levels, the same gathered ids.
void relax_query(const Index& ix, QueryWorkspace& ws, TopK& top, const double* row,
                 int64_t excluded, std::size_t need, RefineGathered refine, const void* context);

}  // namespace plovik
