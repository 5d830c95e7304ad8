// Promotion of the candidate tier into the static tier.
#pragma once

#include <cstddef>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// rows: m rows of `width` values, row-major, the next candidate batch.
// The candidates are merged into the static tier, ahead of static entries
// with an equal key, and the batch becomes the candidate tier with ids from
// n_points on. Throws InvalidArgument, before anything changes, for an
// unbuilt index, a width other than d, or a tier that would reach 2^32
// points; the index is changed only once every new array exists.
void promote(Index& ix, Array<double> rows, std::size_t m, std::size_t width);

// The checks promote() makes from the sizes alone, in its order.
void validate_promote(const Index& ix, std::size_t m, std::size_t width);

}  // namespace plovik
