// Single-precision toroidal L1 distance with its fixed summation order.
//
// Per coordinate the term is a = |q - p| when a < 1 - a, else 1 - a. The
// terms are summed as four-lane groups: sixteen coordinates at a time into
// four accumulators A0..A3 (group i of the sixteen into Ai), folded as
// ((A0 + A1) + A2) + A3 and then (l0 + l1) + (l2 + l3); the remaining whole
// groups of four into one accumulator seeded with (s, 0, 0, 0) and folded
// the same way; the last coordinates one by one as s = term + s. This order
// is a contract shared with the reference: never reassociate it.
#pragma once

#include <cmath>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plovik {

inline float torus_term(float q, float p) {
  const float a = std::fabs(q - p);
  const float om = 1.0f - a;
  return a < om ? a : om;
}

#if defined(__SSE2__)

namespace detail {

inline __m128 term4(const float* q, const float* p) {
  const __m128 sign = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 a = _mm_and_ps(_mm_sub_ps(_mm_loadu_ps(q), _mm_loadu_ps(p)), sign);
  const __m128 om = _mm_sub_ps(_mm_set1_ps(1.0f), a);
  return _mm_min_ps(a, om);  // a < om ? a : om, lane by lane
}

// (l0 + l1) + (l2 + l3)
inline float fold(__m128 v) {
  const __m128 pairs = _mm_add_ps(v, _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
  const __m128 hi = _mm_movehl_ps(pairs, pairs);
  return _mm_cvtss_f32(_mm_add_ss(pairs, hi));
}

// The whole sum; inlined into its callers so that a dimension known at
// compile time unrolls it completely.
[[gnu::always_inline]] inline float torus_l1(const float* q, const float* p, std::size_t D) {
  float s = 0.0f;
  std::size_t c = 0;
  if (D >= 16) {
    __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    for (; D - c >= 16; c += 16) {
      a0 = _mm_add_ps(a0, term4(q + c, p + c));
      a1 = _mm_add_ps(a1, term4(q + c + 4, p + c + 4));
      a2 = _mm_add_ps(a2, term4(q + c + 8, p + c + 8));
      a3 = _mm_add_ps(a3, term4(q + c + 12, p + c + 12));
    }
    s = fold(_mm_add_ps(_mm_add_ps(_mm_add_ps(a0, a1), a2), a3));
  }
  if (D - c >= 4) {
    __m128 acc = _mm_set_ss(s);
    for (; D - c >= 4; c += 4) acc = _mm_add_ps(acc, term4(q + c, p + c));
    s = fold(acc);
  }
  for (; c < D; ++c) s = torus_term(q[c], p[c]) + s;
  return s;
}

}  // namespace detail

#else

namespace detail {

inline float torus_l1(const float* q, const float* p, std::size_t D) {
  float s = 0.0f;
  std::size_t c = 0;
  if (D >= 16) {
    float acc[4][4] = {};
    for (; D - c >= 16; c += 16)
      for (int g = 0; g < 4; ++g)
        for (int lane = 0; lane < 4; ++lane)
          acc[g][lane] = acc[g][lane] + torus_term(q[c + 4 * g + lane], p[c + 4 * g + lane]);
    float S[4];
    for (int lane = 0; lane < 4; ++lane)
      S[lane] = ((acc[0][lane] + acc[1][lane]) + acc[2][lane]) + acc[3][lane];
    s = (S[0] + S[1]) + (S[2] + S[3]);
  }
  if (D - c >= 4) {
    float acc[4] = {s, 0.0f, 0.0f, 0.0f};
    for (; D - c >= 4; c += 4)
      for (int lane = 0; lane < 4; ++lane)
        acc[lane] = acc[lane] + torus_term(q[c + lane], p[c + lane]);
    s = (acc[0] + acc[1]) + (acc[2] + acc[3]);
  }
  for (; c < D; ++c) s = torus_term(q[c], p[c]) + s;
  return s;
}

}  // namespace detail

#endif

// Distance of the query q to the point p over their first D coordinates.
inline float torus_l1_f32(const float* q, const float* p, std::size_t D) {
  return detail::torus_l1(q, p, D);
}

// The same for a dimension fixed at compile time: fully unrolled, the same
// association.
template <std::size_t D>
inline float torus_l1_f32(const float* q, const float* p) {
  return detail::torus_l1(q, p, D);
}

}  // namespace plovik
