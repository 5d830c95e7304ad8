// How far apart random pairs of points lie along each coordinate on the
// torus: the tuning weighs how often its tables hash a coordinate by this
// spread (a coordinate that barely varies separates nothing); and the draw
// of the coordinates each table hashes, by those weights.
#pragma once

#include <cstdint>
#include <span>

#include "index/memory/array.hpp"
#include "index/tuning/sample_hash.hpp"

namespace plovik {

// Per coordinate c, the mean over i of min(|x - y|, 1 - |x - y|) with x, y
// coordinate c of rows a[i] and b[i] of `rows`, each wrapped as v - floor(v)
// (a value already in [0, 1) unchanged). The terms are summed in the order
// of the pairs, one sum per coordinate, then divided by their number: the
// same float64 operations, in the same order, as NumPy's mean over the first
// axis of the (pairs, d) array of terms. Every index must lie in [0, m)
// (InvalidArgument otherwise); no pairs give zeros. The terms are computed
// on the worker pool; the sums do not depend on the thread count.
Array<double> coordinate_spread(const SampleRows& rows, std::span<const int64_t> a,
                                std::span<const int64_t> b);

// The coordinates of `tables` tables of `components` each, drawn by
// `weights` (positive, summing to about 1) from `draws` (tables rows of at
// least `components` uniforms in [0, 1), row-major with stride `stride`).
// Row t draws one after the other: with `left` the weights of the
// coordinates not yet drawn in that row (all of them again every
// weights.size() draws), the pick is the number of running sums of `left`
// at most draws[t][j] times their total (summed in order, as NumPy's
// cumsum), or the last coordinate left when the product rounds up to the
// total. Returns tables x components indices into `weights`. One thread.
Array<int64_t> weighted_draw(std::span<const double> weights, std::span<const double> draws,
                             std::size_t tables, std::size_t components, std::size_t stride);

}  // namespace plovik
