// Constructing an unbuilt index from pre-drawn hash parameters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// s and u hold L * K values, row t being table t (the binding checks the
// shapes). Nothing else is validated here; build() checks the parameters
// against the points.
void construct(Index& ix, int64_t b, std::size_t components, std::size_t tables, std::size_t probes,
               std::size_t block, Array<int64_t> s, Array<double> u);

}  // namespace plovik
