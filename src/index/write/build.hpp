// Hashing and sorting both tiers from scratch.
#pragma once

#include <cstddef>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// points: n rows of d values, row-major; the first n_static rows become the
// static tier. Throws InvalidArgument, before anything changes, for
// parameters or sizes the index cannot hold (see validate_build). The index
// is replaced only once every new array exists.
void build(Index& ix, Array<double> points, std::size_t n, std::size_t d, std::size_t n_static);

// Spare capacity the coordinate arrays of a build get for `values`
// coordinates: half as many again, so that the first promotions append in
// place instead of copying every point. Capacity never written costs
// address space, not memory.
inline std::size_t coords_room(std::size_t values) { return values / 2; }

// The checks build() makes: b >= 1, K >= 1, L >= 1, every s in [0, d),
// b^K <= 2^63 - 1, n_static <= n, each tier below 2^32 points.
void validate_build(const Index& ix, std::size_t n, std::size_t d, std::size_t n_static);

// Single-precision copies of coordinates, wrapped onto [0, 1) first.
void wrap_to_f32(const double* in, float* out, std::size_t count);

}  // namespace plovik
