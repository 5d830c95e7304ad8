// Candidate-tier refresh.
#pragma once

#include "array.hpp"
#include "record.hpp"

namespace plovik {

// coords: the new candidate coordinates, n_cand * d values row-major.
void update(RustLshIndex& ix, Array<double> coords);

}  // namespace plovik
