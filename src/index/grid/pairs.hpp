// The half list of a grid's own points: every unordered pair of points
// within a radius of each other, once.
//
// Each pair of cells within reach of each other is visited once (a cell
// with its own points, and with each neighbour that comes after it), each
// pair of points within the radius written once as (i, j), i < j by id.
// Distances are the exact scan's in the tiers' metric (single precision,
// the radius rounded to single precision, inclusive), so the pairs equal
// those an exact radius query of every point finds, each once. The ids must lie in
// [0, 2^32) (InvalidArgument otherwise): the pairs are counted per smaller
// id and written into outputs of exactly their size, each row then sorted
// in place.
//
// The image shift of a pair (optional) is the whole number of periods s,
// per axis, that makes x_j - x_i + s the minimum-image displacement from i
// to j, x the wrapped single-precision coordinates the grid holds: 0 when
// |x_j - x_i| is the shorter way round (the distance's own test, a < 1 - a),
// else -1 when x_j > x_i and +1 when x_j < x_i.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/grid/grid.hpp"
#include "index/memory/array.hpp"

namespace plovik {

struct GridPairs {
  Array<int64_t> i, j;   // p pairs, i < j
  Array<double> dist;    // single-precision distances, widened
  Array<int32_t> shift;  // p * d when asked for, else empty
  // With both: where each row starts (largest id + 2 entries), i empty.
  Array<int64_t> indptr;
};

// The pairs ordered by i, then by (distance, j) (by_distance) or by j.
// With `both`, the full list: each pair in the rows of both its ids (its
// shift negated in the row of the larger), in CSR form by id (indptr, j,
// dist): the rows an exact radius query of every point finds, its own id
// left out, bit for bit (a distance is the same either way round).
GridPairs grid_pairs(GridTiers tiers, double radius, bool shifts, bool by_distance,
                     bool both = false);

}  // namespace plovik
