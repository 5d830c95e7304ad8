// metric_sum_f32 (metric.hpp) for one term kind, inlined: the sum a
// metric compares for one query and one point, the kind (and, when known,
// the dimension) fixed at compile time, so that a caller measuring many
// points pays neither the kind's tests per term nor a call per point.
// metric_sum_f32 is this function, so their bits are the same.
#pragma once

#include <cstddef>

#include "index/metric/metric.hpp"
#include "index/query/distance.hpp"

namespace plovik {

// The term kinds: L1 or L2, with or without the axes' weights.
inline constexpr int l1_plain_terms = 0, l1_weighted_terms = 1, l2_plain_terms = 2,
                     l2_weighted_terms = 3;

inline int term_kind_of(const Metric& m) {
  return (m.kind == MetricKind::l2 ? l2_plain_terms : l1_plain_terms) + (m.weights.empty() ? 0 : 1);
}

// The term of coordinate c: torus_term, times the axis's weight w[c] for
// the weighted kinds, squared for L2.
template <int Kind>
[[gnu::always_inline]] inline float metric_term(const float* q, const float* p, const float* w,
                                                std::size_t c) {
  float t = torus_term(q[c], p[c]);
  if constexpr (Kind == l1_weighted_terms || Kind == l2_weighted_terms) t = t * w[c];
  if constexpr (Kind == l2_plain_terms || Kind == l2_weighted_terms) t = t * t;
  return t;
}

// torus_l1_f32's association (query/distance.hpp, the portable form) over
// the kind's terms, D coordinates (Dim when it is not 0).
template <std::size_t Dim, int Kind>
[[gnu::always_inline]] inline float metric_sum(const float* q, const float* p, const float* w,
                                               std::size_t d) {
  const std::size_t D = Dim > 0 ? Dim : d;
  float s = 0.0f;
  std::size_t c = 0;
  if (D >= 16) {
    float acc[4][4] = {};
    for (; D - c >= 16; c += 16)
      for (std::size_t g = 0; g < 4; ++g)
        for (std::size_t lane = 0; lane < 4; ++lane)
          acc[g][lane] = acc[g][lane] + metric_term<Kind>(q, p, w, c + 4 * g + lane);
    float S[4];
    for (std::size_t lane = 0; lane < 4; ++lane)
      S[lane] = ((acc[0][lane] + acc[1][lane]) + acc[2][lane]) + acc[3][lane];
    s = (S[0] + S[1]) + (S[2] + S[3]);
  }
  if (D - c >= 4) {
    float acc[4] = {s, 0.0f, 0.0f, 0.0f};
    for (; D - c >= 4; c += 4)
      for (std::size_t lane = 0; lane < 4; ++lane)
        acc[lane] = acc[lane] + metric_term<Kind>(q, p, w, c + lane);
    s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  }
  for (; c < D; ++c) s = metric_term<Kind>(q, p, w, c) + s;
  return s;
}

}  // namespace plovik
