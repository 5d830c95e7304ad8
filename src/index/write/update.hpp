// Candidate-tier refresh.
#pragma once

#include <cstddef>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// coords: the new candidate coordinates, n_cand * d values row-major.
// Entries whose key changed are re-placed in each table, ahead of kept
// entries with an equal key. Throws InvalidArgument for values given to an
// unbuilt index (an empty update of one does nothing) and Panic for a value
// count other than n_cand * d, both before anything changes; the index is
// changed only once every new array exists.
void update(Index& ix, Array<double> coords);

// The checks update() makes from the value count alone, in its order.
void validate_update(const Index& ix, std::size_t count);

}  // namespace plovik
