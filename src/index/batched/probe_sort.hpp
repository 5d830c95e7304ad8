// Ordering the probe keys of a block for one table: by key, then by query.
#pragma once

#include "index/batched/workspace.hpp"
#include "index/memory/array.hpp"

namespace plovik {

// Sorts keys ascending by key, then by query. Entries must arrive in
// ascending query order (as the block generates them): the sort is a stable
// radix sort on the key alone, which keeps that order among equal keys.
// scratch is a buffer of the same element type; its contents are lost.
void sort_probe_keys(Array<ProbeKey>& keys, Array<ProbeKey>& scratch);

}  // namespace plovik
