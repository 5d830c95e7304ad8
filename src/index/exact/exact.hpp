// Exact search by brute force: every query against every point.
//
// Points and queries are wrapped onto the unit torus and rounded to single
// precision as the index wraps its own (wrap_f32), and every distance is
// that of the points' metric (metric/metric.hpp) bit for bit: by default
// toroidal L1, torus_l1_f32, so the answers equal a brute force over the
// index's distances: k-nearest rows ascending by (distance bits, id) padded
// with -1 / +inf, radius rows (inclusive, the radius rounded to single
// precision) ascending by (distance, id). Results never depend on the
// thread count.
//
// The points are copied once into tiles of eight, coordinate-major (lane j
// of coordinate c at tile[8 c + j]), so that one vector holds a coordinate
// of eight points and each lane sums its own point's terms in exactly the
// association of torus_l1_f32 (metric_sum_f32). The scan compares the
// sums; for L2 it roots only the sums it admits, the radius compared on the
// sums through l2_sum_bound, which selects exactly the points whose rooted
// distance is within it. Tasks take a block of queries against a run
// of points, scanned in blocks of tiles that stay in the first-level cache
// while every query of the block passes over them. Points that crowd
// together or spread in few dimensions are laid out in a spatial order
// (order.hpp): a k-nearest query scans the group of its own cell first,
// and then passes over every group whose byte ranges lie beyond its bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "index/exact/order.hpp"
#include "index/memory/array.hpp"
#include "index/metric/metric.hpp"
#include "index/query/batch.hpp"
#include "index/query/radius.hpp"

namespace plovik {

// n points of d coordinates, row-major float64 (any finite or non-finite
// values: they are wrapped as the index wraps them).
struct PointRows {
  std::span<const double> values;
  std::size_t n = 0;
  std::size_t d = 0;
};

// The points as the scan reads them: wrapped and rounded (wrap_f32), in
// tiles of eight, coordinate-major, the padding lanes of the last tile 0,
// and the metric their distances are measured in. Made once, they answer
// any number of queries (a search in exact mode keeps them between
// changes).
struct ExactTiles {
  Array<float> tiles;  // tile_count(n) x d x 8
  std::size_t n = 0;
  std::size_t d = 0;
  Metric metric;
  // Plain toroidal L1 in at most 255 coordinates: each coordinate also as a
  // byte, in tiles of sixteen points, which let the scan pass over tiles no
  // float sum of which can be taken (exact.cpp); empty otherwise.
  Array<uint8_t> codes;
  // With byte coordinates and enough points: the points laid out in a
  // spatial order (order.hpp), and the byte ranges of each group of them;
  // both empty otherwise (ids in order).
  SpatialOrder spatial;
  Array<uint8_t> ranges;

  std::size_t nbytes() const {
    return tiles.size() * sizeof(float) + codes.size() + spatial.order.size() * sizeof(uint32_t) +
           spatial.group_keys.size() * sizeof(uint16_t) + ranges.size();
  }
};

// Tiles of eight points that n points fill.
inline std::size_t tile_count(std::size_t n) { return n / 8 + (n % 8 != 0); }

// InvalidArgument when the metric does not fit the points (validate_metric).
ExactTiles exact_tiles(const PointRows& points, Metric metric = {});

struct ExactKnnResult {
  Array<int64_t> idx;  // m * k, row-major, padded with -1
  Array<double> dist;  // m * k, row-major, padded with +inf
};

// The checks made from the sizes alone, before any work: InvalidArgument
// when the queries' width dq is not the points' d, Panic when exclude_ids
// holds fewer than m entries, and for k-nearest std::bad_alloc when no
// (m, k) array of eight-byte values can exist.
void validate_exact(std::size_t d, std::size_t m, std::size_t dq,
                    std::optional<std::size_t> n_exclude);
void validate_exact_knn(std::size_t d, std::size_t m, std::size_t dq,
                        std::optional<std::size_t> n_exclude, std::size_t k);

// The k nearest points of each query; query i never gets its excluded id.
// The PointRows forms measure toroidal L1; for a few queries (one task's
// block) the k-nearest one lays the points out a block at a time as it
// scans them instead of copying them whole first: the same rows.
ExactKnnResult exact_knn(const PointRows& points, const QueryBatch& q, std::size_t k);
ExactKnnResult exact_knn(const ExactTiles& points, const QueryBatch& q, std::size_t k);

// Per query, how many points a k-nearest scan whose row holds its k-th
// distance limits[i] from the start reads through their bytes: those of
// the groups whose byte ranges it cannot pass over (order.hpp), every
// point when the points keep no ranges. What the scan of such queries
// costs, without scanning.
Array<int64_t> exact_reach(const ExactTiles& points, const QueryBatch& q,
                           std::span<const double> limits);

// Every point within `radius` (inclusive) of each query, in CSR form.
RadiusResult exact_radius(const PointRows& points, const QueryBatch& q, double radius);
RadiusResult exact_radius(const ExactTiles& points, const QueryBatch& q, double radius);

// For the engine tests: the eight sums (metric_sum_f32) of one query (d
// wrapped single-precision coordinates) and the eight points of one tile
// (8 d values, coordinate-major) under `metric`, by the AVX2 path (when
// the processor has it) or the portable one. False when the AVX2 path was
// asked for and is not available.
bool exact_tile_distances(const float* query, const float* tile, std::size_t d, bool avx2,
                          float* out, const Metric& metric = {});

}  // namespace plovik
