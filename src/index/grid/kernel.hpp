// The pieces every grid search shares: distances of one query to a run of
// points stored coordinate-major, and the geometry of cells on the torus
// (which cell a coordinate falls in, a lower bound of the distance from a
// coordinate to a cell).
//
// The sums are those of metric_sum_f32 (metric/metric.hpp), bit for bit:
// the same terms (a = |q - p|, then t = a < 1 - a ? a : 1 - a, times the
// axis's weight when the metric has weights, squared for L2) in the same
// association. For one to three coordinates that is s = t0, then
// s = t1 + s, s = t2 + s; for four (t0 + t1) + (t2 + t3). Toroidal L1
// without weights is torus_l1_f32. Each point's sum is its own chain of
// IEEE single-precision operations, so the compiler may run several points
// in one vector (it never reassociates: -ffp-contract=off, no fast-math).
// Other dimensions gather the point's coordinates and call metric_sum_f32.
// Callers compare the sums against metric_sum_cutoff of the radius and
// root (L2) only the sums they keep, as the exact scan does.
//
// Cell bounds are computed in double precision from the stored float
// coordinates, per axis the gap to the cell times the axis's weight, and
// combined as the metric combines terms (AxisCost: summed for L1, squares
// summed for L2, compared with the square of the limit). Limits are widened
// by metric_slack, a margin larger than the rounding error of a
// single-precision distance: a point whose computed distance passes a test
// can never sit in a cell whose bound failed it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "index/cpu_features.hpp"
#include "index/metric/metric.hpp"
#include "index/query/distance.hpp"

namespace plovik::grid_detail {

// Above the rounding error of a computed distance over d coordinates in
// [0, 1]: each term is within 2^-24 of its real value and each of the d - 1
// additions of a partial sum at most d / 2 adds 2^-24 of it, so the error
// stays below d (d + 2) 2^-25; this is sixteen times that, and more.
inline double grid_slack(std::size_t d) {
  const double dd = static_cast<double>(d) + 1.0;
  return dd * dd * 0x1p-20;
}

// The rounding error of a weighted distance scales with its largest
// weight: grid_slack(d) times the largest weight (when above 1). For L2
// the error of the rooted distance is below that of the L1 sum of the same
// terms, which bounds it.
inline double metric_slack(std::size_t d, const Metric& m) {
  double top = 1.0;
  for (const float w : m.weights) top = std::max(top, static_cast<double>(w));
  return grid_slack(d) * top;
}

// The term kinds of a metric, as template arguments.
inline constexpr int l1_plain = 0, l1_weighted = 1, l2_plain = 2, l2_weighted = 3;

inline int term_kind(const Metric& m) {
  return (m.kind == MetricKind::l2 ? l2_plain : l1_plain) + (m.weights.empty() ? 0 : 1);
}

inline constexpr bool is_l2(int kind) { return kind == l2_plain || kind == l2_weighted; }

// The cell of coordinate x in [0, 1] among `cells` cells of width 1 / cells:
// floor(x * cells), 1.0 in the last cell, a NaN in cell 0.
inline std::size_t cell_of(float x, std::size_t cells) {
  const double y = static_cast<double>(x) * static_cast<double>(cells);
  if (!(y >= 0.0)) return 0;
  // y in [0, cells - 1] after the min: through int64, one conversion
  // instruction, where one to an unsigned type takes several
  const double top = static_cast<double>(cells - 1);
  return static_cast<std::size_t>(static_cast<int64_t>(y < top ? y : top));
}

// The toroidal distance from x to the closed interval of cell c (0 inside
// it), in double precision.
inline double gap_to_cell(double x, std::size_t c, std::size_t cells) {
  const double n = static_cast<double>(cells);
  const double lo = static_cast<double>(c) / n, hi = static_cast<double>(c + 1) / n;
  if (x >= lo && x <= hi) return 0.0;
  const double up = x < lo ? lo - x : lo + 1.0 - x;    // from x upwards to lo
  const double down = x > hi ? x - hi : x + 1.0 - hi;  // from x downwards to hi
  return std::min(up, down);
}

// The canonical offsets of an axis of `cells` cells: every cell once, as
// an offset o in [low, high] from a given cell, |o| as small as the torus
// allows (o = cells / 2 for an even count, not -cells / 2).
inline int64_t offset_low(std::size_t cells) { return -static_cast<int64_t>((cells - 1) / 2); }
inline int64_t offset_high(std::size_t cells) { return static_cast<int64_t>(cells / 2); }

// The cell at offset o from cell c.
inline std::size_t cell_at(std::size_t c, int64_t o, std::size_t cells) {
  const auto n = static_cast<int64_t>(cells);
  int64_t x = static_cast<int64_t>(c) + o;
  // Offsets within an axis' canonical range need one turn at most.
  if (x < 0) {
    x += n;
  } else if (x >= n) {
    x -= n;
  }
  if (x < 0 || x >= n) {
    x %= n;
    if (x < 0) x += n;
  }
  return static_cast<std::size_t>(x);
}

inline float term(float q, float p) { return torus_term(q, p); }

// The term of one coordinate as metric_sum_f32 sums it, weight w.
template <int Kind>
[[gnu::always_inline]] inline float mterm(float q, float p, float w) {
  float t = torus_term(q, p);
  if constexpr (Kind == l1_weighted || Kind == l2_weighted) t = t * w;
  if constexpr (is_l2(Kind)) t = t * t;
  return t;
}

// The most coordinates a grid takes: a grid pays in low dimensions only
// (a cell has 3^d neighbours).
inline constexpr std::size_t max_grid_dims = 16;

// Lower bounds of distances from gaps along the axes (in units of the
// period): per axis the gap times the axis's weight, its square for L2; the
// bounds of several axes add up, and a distance limit r becomes r (L1) or
// r * r (L2) to compare with them. Without weights and in L1 a cost is the
// gap itself.
struct AxisCost {
  double w[max_grid_dims] = {};
  bool l2 = false;

  AxisCost(const Metric& m, std::size_t d) : l2(m.kind == MetricKind::l2) {
    for (std::size_t a = 0; a < d && a < max_grid_dims; ++a)
      w[a] = m.weights.empty() ? 1.0 : static_cast<double>(m.weights[a]);
  }
  double cost(std::size_t a, double gap) const {
    const double g = gap * w[a];
    return l2 ? g * g : g;
  }
  double limit(double r) const { return l2 ? r * r : r; }
};

// The distance of a kept sum: the sum (L1), its root (L2).
template <int Kind>
[[gnu::always_inline]] inline float root_of(float sum) {
  if constexpr (is_l2(Kind)) {
    return std::sqrt(sum);
  } else {
    return sum;
  }
}

// out[j] = torus_l1_f32(q, point s + j) for a d of 4 to 16 (max_grid_dims),
// a coordinate at a time over every point of the run: each point's terms
// go through the same accumulators in the same order as torus_l1_f32's
// (four-lane groups: sixteen coordinates as four groups whose lanes are
// folded ((g0 + g1) + g2) + g3, else the groups of four summed lane by
// lane; then (l0 + l1) + (l2 + l3); the last coordinates one by one as
// s = term + s), so the same bits, and loops over the points the compiler
// can vectorise. len <= 256.
[[gnu::always_inline]] inline void l1_run_columns(const float* q, const float* const* axis,
                                                  std::size_t s, std::size_t len, std::size_t d,
                                                  float* out) {
  static_assert(max_grid_dims == 16, "one pass of sixteen coordinates at most");
  alignas(64) float lane[4][256];
  const std::size_t whole = d >= 16 ? 16 : d / 4 * 4;
  for (std::size_t l = 0; l < 4; ++l) {
    float* acc = lane[l];
    const float* x = axis[l] + s;
    const float ql = q[l];
    // a lane starts at 0: 0 + t is t
    for (std::size_t j = 0; j < len; ++j) acc[j] = 0.0f + torus_term(ql, x[j]);
    for (std::size_t c = 4 + l; c < whole; c += 4) {
      const float* y = axis[c] + s;
      const float qc = q[c];
      for (std::size_t j = 0; j < len; ++j) acc[j] = acc[j] + torus_term(qc, y[j]);
    }
  }
  for (std::size_t j = 0; j < len; ++j)
    out[j] = (lane[0][j] + lane[1][j]) + (lane[2][j] + lane[3][j]);
  for (std::size_t c = whole; c < d; ++c) {
    const float* y = axis[c] + s;
    const float qc = q[c];
    for (std::size_t j = 0; j < len; ++j) out[j] = torus_term(qc, y[j]) + out[j];
  }
}

// The loops of distances_run (below), for every instruction set.
template <std::size_t D, int Kind = l1_plain>
[[gnu::always_inline]] inline void distances_run_body(const float* q, const float* const* axis,
                                                      std::size_t s, std::size_t len, std::size_t d,
                                                      float* out, const Metric* metric,
                                                      const float* w) {
  if constexpr (D == 1) {
    const float* x0 = axis[0] + s;
    const float q0 = q[0];
    const float w0 = w != nullptr ? w[0] : 1.0f;
    for (std::size_t j = 0; j < len; ++j) out[j] = mterm<Kind>(q0, x0[j], w0);
  } else if constexpr (D == 2) {
    const float* x0 = axis[0] + s;
    const float* x1 = axis[1] + s;
    const float q0 = q[0], q1 = q[1];
    const float w0 = w != nullptr ? w[0] : 1.0f, w1 = w != nullptr ? w[1] : 1.0f;
    for (std::size_t j = 0; j < len; ++j)
      out[j] = mterm<Kind>(q1, x1[j], w1) + mterm<Kind>(q0, x0[j], w0);
  } else if constexpr (D == 3) {
    const float* x0 = axis[0] + s;
    const float* x1 = axis[1] + s;
    const float* x2 = axis[2] + s;
    const float q0 = q[0], q1 = q[1], q2 = q[2];
    const float w0 = w != nullptr ? w[0] : 1.0f, w1 = w != nullptr ? w[1] : 1.0f,
                w2 = w != nullptr ? w[2] : 1.0f;
    for (std::size_t j = 0; j < len; ++j)
      out[j] =
          mterm<Kind>(q2, x2[j], w2) + (mterm<Kind>(q1, x1[j], w1) + mterm<Kind>(q0, x0[j], w0));
  } else if constexpr (D == 4) {
    const float* x0 = axis[0] + s;
    const float* x1 = axis[1] + s;
    const float* x2 = axis[2] + s;
    const float* x3 = axis[3] + s;
    const float q0 = q[0], q1 = q[1], q2 = q[2], q3 = q[3];
    const float w0 = w != nullptr ? w[0] : 1.0f, w1 = w != nullptr ? w[1] : 1.0f,
                w2 = w != nullptr ? w[2] : 1.0f, w3 = w != nullptr ? w[3] : 1.0f;
    for (std::size_t j = 0; j < len; ++j)
      out[j] = (mterm<Kind>(q0, x0[j], w0) + mterm<Kind>(q1, x1[j], w1)) +
               (mterm<Kind>(q2, x2[j], w2) + mterm<Kind>(q3, x3[j], w3));
  } else if ((Kind == l1_plain || metric == nullptr) && d >= 4) {
    l1_run_columns(q, axis, s, len, d, out);
  } else {
    float p[max_grid_dims];
    for (std::size_t j = 0; j < len; ++j) {
      for (std::size_t a = 0; a < d; ++a) p[a] = axis[a][s + j];
      out[j] = metric_sum_f32(*metric, q, p, d);
    }
  }
}

#if PLOVIK_AVX2_TARGET
// The same loops compiled for AVX2: each point's sum is still its own
// chain of single-precision operations, eight points to a vector.
template <std::size_t D, int Kind>
[[gnu::target("avx2"), gnu::noinline]] void distances_run_avx2(
    const float* q, const float* const* axis, std::size_t s, std::size_t len, std::size_t d,
    float* out, const Metric* metric, const float* w) {
  distances_run_body<D, Kind>(q, axis, s, len, d, out, metric, w);
}
#endif

// out[j] = the sum (metric_sum_f32) of q and point s + j of a
// coordinate-major store (coordinate a of point i at axis[a][i]), for
// j < len; d <= max_grid_dims; w the metric's weights (the weighted kinds).
// Compiled for AVX2 as well, taken when the processor has it (the same
// bits).
template <std::size_t D, int Kind = l1_plain>
inline void distances_run(const float* q, const float* const* axis, std::size_t s, std::size_t len,
                          std::size_t d, float* out, const Metric* metric = nullptr,
                          const float* w = nullptr) {
#if PLOVIK_AVX2_TARGET
  static const bool avx2 = cpu_has_avx2();
  if (avx2) {
    distances_run_avx2<D, Kind>(q, axis, s, len, d, out, metric, w);
    return;
  }
#endif
  distances_run_body<D, Kind>(q, axis, s, len, d, out, metric, w);
}

// The image shift along one axis from x to y (wrapped coordinates): the
// whole periods s that make y - x + s the shorter way round, 0 when
// |y - x| is (the distance's own test, a < 1 - a), else -1 when y > x and
// +1 when y < x. A coordinate stored as 1.0 (rounded up from just below
// 1) is read as 0.0, as the package's image shifts of every other answer
// read it, so that s is the same whichever search found the pair.
inline int32_t image_shift(float x, float y) {
  const float delta = (y >= 1.0f ? 0.0f : y) - (x >= 1.0f ? 0.0f : x);
  const float a = std::fabs(delta);
  if (a < 1.0f - a) return 0;
  return delta > 0.0f ? -1 : 1;
}

// Bit j set when dist[j] <= cutoff, for j < len <= 64 (a NaN never).
inline uint64_t within_mask(const float* dist, std::size_t len, float cutoff) {
  uint64_t mask = 0;
  std::size_t j = 0;
#if defined(__SSE2__)
  const __m128 c = _mm_set1_ps(cutoff);
  for (; j + 4 <= len; j += 4) {
    const int m4 = _mm_movemask_ps(_mm_cmple_ps(_mm_loadu_ps(dist + j), c));
    mask |= static_cast<uint64_t>(m4) << j;
  }
#endif
  for (; j < len; ++j) mask |= static_cast<uint64_t>(dist[j] <= cutoff) << j;
  return mask;
}

}  // namespace plovik::grid_detail
