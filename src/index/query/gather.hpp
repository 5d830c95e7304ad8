// Gathering candidate ids into a workspace: a key interval of one table
// (relaxation), or every probed bucket of a query (multi-probe).
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/query/workspace.hpp"
#include "index/record.hpp"

namespace plovik {

// Appends to ws.gathered every not yet marked id of table t, static tier
// then candidate tier, whose key lies in [lo, lo + span), and marks it. The
// caller starts the gather (begin_gather) before a series of calls.
void gather_range(const Index& ix, QueryWorkspace& ws, std::size_t t, int64_t lo, uint64_t span);

// Starts a new gather and collects the distinct ids of all probed buckets
// of the query `row` (d values): static tier in probe order, then the
// candidate tier in probe order, each bucket in stored order. Leaves the
// probes in ws.probe_list.
void gather_query(const Index& ix, QueryWorkspace& ws, const double* row);

}  // namespace plovik
