// The metric of an exact search: toroidal L1 or toroidal L2 (Euclidean) on
// the unit torus, each coordinate's term optionally weighted by its axis's
// side (a box with unequal sides, the coordinates divided per axis into
// the unit torus).
//
// Per coordinate the term is the shorter way round, t = min(a, 1 - a) of
// a = |q - p| (torus_term), times the axis's weight when the metric has
// weights; L1 sums the terms, L2 sums their squares t * t and takes the
// square root of the sum. Every operation is one IEEE single-precision
// operation and the sums follow torus_l1_f32's association (four-lane
// groups, see query/distance.hpp; for d <= 3 plain coordinate order), so
// that L1 without weights is torus_l1_f32 bit for bit, and a weight of 1
// changes no bit (t * 1 is t).
//
// The exact scan compares the sums, never the rooted distances: for L2 a
// radius r becomes the largest single-precision sum whose root is at most
// r (l2_sum_bound), so comparing sums selects exactly the points whose
// rooted distance is at most r; only the admitted sums are rooted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "index/memory/array.hpp"

namespace plovik {

enum class MetricKind : uint8_t { l1, l2 };

// A metric: its kind and, for a box with unequal sides, one positive finite
// weight per coordinate (empty: every weight 1, the cubic box).
struct Metric {
  MetricKind kind = MetricKind::l1;
  Array<float> weights;
};

// InvalidArgument unless the weights are empty or d positive finite values.
void validate_metric(const Metric& metric, std::size_t d);

// The sum the metric compares: of the terms (L1) or of their squares (L2).
float metric_sum_f32(const Metric& metric, const float* q, const float* p, std::size_t d);

// The distance of a sum: the sum itself (L1), or its square root (L2).
float metric_root(MetricKind kind, float sum);

// The reference distance of q and p (d wrapped single-precision
// coordinates each): metric_root of metric_sum_f32.
float metric_distance_f32(const Metric& metric, const float* q, const float* p, std::size_t d);

// The largest single-precision s >= 0 with sqrt(s) <= r (correctly rounded
// square root): s <= l2_sum_bound(r) exactly when sqrt(s) <= r, for every
// s >= 0 and +inf. NaN for a NaN r, -1 for a negative one.
float l2_sum_bound(float r);

// The cutoff on the sums that selects the distances <= r.
float metric_sum_cutoff(MetricKind kind, float r);

}  // namespace plovik
