// The per-task query workspace: deduplication stamps, the gathered ids and
// the per-query scratch of hashing and probing. One per parallel task,
// reused for every query the task answers; never shared.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "index/hash/probes.hpp"
#include "index/memory/array.hpp"
#include "index/tiers/ranges.hpp"

namespace plovik {

struct QueryWorkspace {
  // mark[id] == epoch exactly when id was gathered for the current query.
  // Never cleared: advancing the epoch forgets every mark at once.
  Array<uint32_t> mark;
  Array<uint64_t> gathered;   // distinct ids in discovery order
  Array<float> query_f32;     // the current query, wrapped and rounded
  Array<int64_t> codes;       // K cell codes of the table last hashed
  Array<double> fracs;        // K within-cell fractions of that table
  Array<double> margins;      // K distances to the nearer cell wall
  Array<Probe> probe_list;    // probes of the current query, in order
  Array<uint64_t> probe_pos;  // static-tier lower bounds, one per probe
  Array<Range> probe_ranges;  // bucket of each probe in the tier being read
  Array<int64_t> base_keys;   // per table, the base key (relaxation)
  uint32_t epoch = 0;
  std::size_t flips = 0;  // flip probes per table of the call (flips_per_table)

  // A workspace for an index of n_points points, queries of d columns and
  // K components per table.
  QueryWorkspace(std::size_t n_points, std::size_t d, std::size_t K);
};

// Starts a new gather: advances the epoch and empties gathered. When the
// epoch wraps to 0 (after 2^32 gathers) the stamps are cleared for real, so
// that a stamp that old can never read as current.
inline void begin_gather(QueryWorkspace& ws) {
  if (++ws.epoch == 0) {
    std::fill(ws.mark.begin(), ws.mark.end(), 0u);
    ws.epoch = 1;
  }
  ws.gathered.clear();
}

// query_f32[c] = the query coordinate c wrapped onto [0, 1) in double
// precision, then rounded to single precision, for c < d.
void load_query(QueryWorkspace& ws, const double* row);

}  // namespace plovik
