// Fixed-radius search in compressed sparse row form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "index/memory/array.hpp"
#include "index/query/batch.hpp"
#include "index/query/checks.hpp"
#include "index/query/topk.hpp"
#include "index/query/workspace.hpp"
#include "index/record.hpp"

namespace plovik {

struct RadiusResult {
  Array<int64_t> indptr;  // m + 1
  Array<int64_t> ids;     // indptr[m]
  Array<double> dists;    // indptr[m]
};

// Checks its sizes first, as validate_query_radius does, before any work.
RadiusResult query_radius(const Index& ix, const QueryBatch& q, double radius);

// How a radius search measures the gathered ids of one query (ws.gathered,
// ws.query_f32): appends to `hits`, in any order, every id but `excluded`
// within the search's radius, with its distance's bits; `context` passed
// through.
using MeasureWithin = void (*)(const Index& ix, const QueryWorkspace& ws, int64_t excluded,
                               Array<Slot>& hits, const void* context);

// query_radius with the gathered ids measured by `measure` (a metric and
// radius of its own): the same buckets, the same rows' order.
RadiusResult query_radius(const Index& ix, const QueryBatch& q, MeasureWithin measure,
                          const void* context);

// The checks query_radius makes from the sizes alone (m queries of dq
// columns, n_exclude excluded ids when given): InvalidArgument when a built
// index gets a width other than d, Panic when exclude_ids holds fewer than
// m entries.
inline void validate_query_radius(const Index& ix, std::size_t m, std::size_t dq,
                                  std::optional<std::size_t> n_exclude) {
  check_query_sizes(ix, m, dq, n_exclude);
}

}  // namespace plovik
