// The probe sequence of one query: per table the base bucket, then the
// neighbouring buckets across the nearest cell walls.
#pragma once

#include "record.hpp"
#include "workspace.hpp"

namespace plovik {

// Empties ws.probe_list and fills it with 1 + min(K, probes) probes per
// table, tables in order: the base key, then one flip per component in
// increasing order of margin (lowest component first among equal margins).
// Leaves codes and fracs of the last table in ws.
void build_probe_list(const RustLshIndex& ix, Ws& ws, const double* row);

}  // namespace plovik
