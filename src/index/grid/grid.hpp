// Exact search through a grid of cells on the unit torus.
//
// Points are wrapped and rounded to single precision as the index wraps
// its own (wrap_f32), put in the cell floor(x * cells) of each axis (1.0 in
// the last cell) and counting-sorted by cell into flat arrays: where each
// cell starts, the coordinates coordinate-major in cell order, the ids. A
// grid may hold several such tiers with the same cells (the static points
// and the candidates of a search): each query reads every tier.
//
// The cells of an axis may differ from another's (a box with unequal
// sides). The tier holds the metric of its distances (metric.hpp: toroidal
// L1 or L2, with or without a weight per axis); every tier a query reads
// has the same.
//
// Every answer is that of the exact scan (exact.hpp) on the same points in
// the same metric, bit for bit: the same single-precision sums
// (metric_sum_f32), compared against metric_sum_cutoff of the radius and
// rooted (L2) only when kept, the radius rounded to single precision once
// and inclusive, rows ascending by
// (distance bits, id), k-nearest rows padded with -1 / +inf; only the cells
// that can hold an answer are read. A radius query reads the cells whose
// lower bound of the distance is within the radius; a k-nearest query first
// reads every point within a radius that holds about 1.5 k points where
// they are spread evenly (when that finds k, no point not read can come
// before them), else rings of cells around its own until the k-th distance
// is below the lower bound of every cell not read. Queries are answered in
// the order of their cells, each row sorted on its own and written at its
// place. Results never depend on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "index/exact/exact.hpp"
#include "index/memory/array.hpp"
#include "index/metric/metric.hpp"
#include "index/query/batch.hpp"
#include "index/query/radius.hpp"

namespace plovik {

// One tier of a grid: n points counting-sorted by cell.
struct GridTier {
  std::size_t d = 0;
  Array<std::size_t> cells;  // cells per axis, d entries
  std::size_t n = 0;
  Array<uint64_t> starts;  // cell c holds sorted points [starts[c], starts[c + 1])
  Array<float> coords;     // coordinate a of sorted point i at coords[a * n + i]
  Array<int64_t> ids;      // the id of each sorted point
  bool ids_32 = true;      // every id in [0, 2^32)
  Metric metric;           // of the distances
};

// Cells in all: the product of `cells`; InvalidArgument when an axis has
// no cell, when d exceeds the grid's limit (16) or when the product is too
// large to index (above 2^32).
std::size_t grid_cell_total(std::size_t d, std::span<const std::size_t> cells);

// The tier of `points`, point i with id ids[i] (its row number when ids is
// empty), in `metric`; InvalidArgument when ids has another length than the
// points or the metric does not fit them (validate_metric).
GridTier grid_tier(const PointRows& points, std::span<const int64_t> ids,
                   std::span<const std::size_t> cells, Metric metric = {});

// The tiers a query reads: at least one, all of the same d, cells and
// metric (InvalidArgument otherwise).
using GridTiers = std::span<const GridTier* const>;
void validate_grid_tiers(GridTiers tiers);

// Every point within `radius` (inclusive) of each query, in CSR form; query
// i never gets its excluded id. The checks of exact_radius come first.
// With `shifts`: d image shifts per entry into it, s with x_p - x_q + s the
// minimum-image displacement from the query to the point, x the wrapped
// single-precision coordinates (the query's wrapped as the index wraps it;
// the convention of the half list's shifts, pairs.hpp); the ids must then
// lie in [0, 2^32) (InvalidArgument otherwise).
RadiusResult grid_radius(GridTiers tiers, const QueryBatch& q, double radius,
                         Array<int32_t>* shifts = nullptr);

// The k nearest points of each query. The checks of exact_knn come first.
ExactKnnResult grid_knn(GridTiers tiers, const QueryBatch& q, std::size_t k);

}  // namespace plovik
