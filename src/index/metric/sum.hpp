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

#if defined(__SSE2__)

namespace detail {

// The kind's terms of coordinates c .. c + 3, lane by lane: as torus_l1's
// term4 (_mm_min_ps(a, om) is a < om ? a : om), times the weights, squared.
template <int Kind>
[[gnu::always_inline]] inline __m128 metric_term4(const float* q, const float* p, const float* w,
                                                  std::size_t c) {
  const __m128 sign = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 a = _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(q + c), _mm_loadu_ps(p + c)), sign);
  __m128 t = _mm_min_ps(a, _mm_sub_ps(_mm_set1_ps(1.0f), a));
  if constexpr (Kind == l1_weighted_terms || Kind == l2_weighted_terms)
    t = _mm_mul_ps(t, _mm_loadu_ps(w + c));
  if constexpr (Kind == l2_plain_terms || Kind == l2_weighted_terms) t = _mm_mul_ps(t, t);
  return t;
}

}  // namespace detail

// torus_l1_f32's association (query/distance.hpp) over the kind's terms, D
// coordinates (Dim when it is not 0), four lanes at a time as torus_l1
// sums them; every lane operation is the portable form's.
template <std::size_t Dim, int Kind>
[[gnu::always_inline]] inline float metric_sum(const float* q, const float* p, const float* w,
                                               std::size_t d) {
  const std::size_t D = Dim > 0 ? Dim : d;
  float s = 0.0f;
  std::size_t c = 0;
  if (D >= 16) {
    __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (; D - c >= 16; c += 16) {
      a0 = _mm_add_ps(a0, detail::metric_term4<Kind>(q, p, w, c));
      a1 = _mm_add_ps(a1, detail::metric_term4<Kind>(q, p, w, c + 4));
      a2 = _mm_add_ps(a2, detail::metric_term4<Kind>(q, p, w, c + 8));
      a3 = _mm_add_ps(a3, detail::metric_term4<Kind>(q, p, w, c + 12));
    }
    s = detail::fold(_mm_add_ps(_mm_add_ps(_mm_add_ps(a0, a1), a2), a3));
  }
  if (D - c >= 4) {
    __m128 acc = _mm_set_ss(s);
    for (; D - c >= 4; c += 4) acc = _mm_add_ps(acc, detail::metric_term4<Kind>(q, p, w, c));
    s = detail::fold(acc);
  }
  for (; c < D; ++c) s = metric_term<Kind>(q, p, w, c) + s;
  return s;
}

#else

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

#endif

}  // namespace plovik
