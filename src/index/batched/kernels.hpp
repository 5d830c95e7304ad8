// Distance kernels of the blocked search: a query against four rows at a
// time (a group) or against one row.
//
// For d = 8, 16 and 24 the sum is fully unrolled with its own association
// (G[i] = terms 4i .. 4i + 3 as a four-lane group, H(g) = (g0 + g1) +
// (g2 + g3)):
//   d = 8, a row of a group of four: (((m0 + m1) + (m2 + m3)) + ((m4 + m5) + m6)) + m7
//   d = 8, a row on its own:         H(G0 + G1)
//   d = 16:                          H((G0 + G2) + (G1 + G3))
//   d = 24:                          H(((G0 + G4) + G2) + ((G1 + G5) + G3))
// Every other d uses torus_l1_f32. These orders are contracts shared with
// the reference; the vector code below computes exactly these sums (four
// rows side by side after a transpose), never another association.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/query/distance.hpp"
#include "index/query/topk.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace plovik {

// The four rows of a group, anywhere in memory.
struct Rows4 {
  const float* p[4];
};

#if defined(__SSE2__)

namespace detail {

// Lane r of the result holds H(v_r).
inline __m128 fold4(__m128 v0, __m128 v1, __m128 v2, __m128 v3) {
  _MM_TRANSPOSE4_PS(v0, v1, v2, v3);  // v_l now holds lane l of every row
  return _mm_add_ps(_mm_add_ps(v0, v1), _mm_add_ps(v2, v3));
}

inline void store_bits(__m128 d, uint32_t* out) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_castps_si128(d));
}

// (G0 + G2) + (G1 + G3) of one row.
inline __m128 groups16(const float* q, const float* p) {
  return _mm_add_ps(_mm_add_ps(term4(q, p), term4(q + 8, p + 8)),
                    _mm_add_ps(term4(q + 4, p + 4), term4(q + 12, p + 12)));
}

// ((G0 + G4) + G2) + ((G1 + G5) + G3) of one row.
inline __m128 groups24(const float* q, const float* p) {
  const __m128 even =
      _mm_add_ps(_mm_add_ps(term4(q, p), term4(q + 16, p + 16)), term4(q + 8, p + 8));
  const __m128 odd =
      _mm_add_ps(_mm_add_ps(term4(q + 4, p + 4), term4(q + 20, p + 20)), term4(q + 12, p + 12));
  return _mm_add_ps(even, odd);
}

}  // namespace detail

struct KernelD8 {
  static constexpr std::size_t dim = 8;
  // Four rows: the terms transposed so that lane r belongs to row r, then
  // the unrolled association column by column.
  static void group(const float* q, const Rows4& r, uint32_t* out) {
    using detail::term4;
    __m128 m0 = term4(q, r.p[0]), m1 = term4(q, r.p[1]), m2 = term4(q, r.p[2]),
           m3 = term4(q, r.p[3]);
    __m128 m4 = term4(q + 4, r.p[0] + 4), m5 = term4(q + 4, r.p[1] + 4),
           m6 = term4(q + 4, r.p[2] + 4), m7 = term4(q + 4, r.p[3] + 4);
    _MM_TRANSPOSE4_PS(m0, m1, m2, m3);
    _MM_TRANSPOSE4_PS(m4, m5, m6, m7);
    const __m128 low = _mm_add_ps(_mm_add_ps(m0, m1), _mm_add_ps(m2, m3));
    const __m128 high = _mm_add_ps(_mm_add_ps(m4, m5), m6);
    detail::store_bits(_mm_add_ps(_mm_add_ps(low, high), m7), out);
  }
  static float single(const float* q, const float* p) {
    return detail::fold(_mm_add_ps(detail::term4(q, p), detail::term4(q + 4, p + 4)));
  }
};

// d = 16 and 24: whole groups of four coordinates, folded per row.
template <std::size_t D, __m128 (*Groups)(const float*, const float*)>
struct KernelGroups {
  static constexpr std::size_t dim = D;
  static void group(const float* q, const Rows4& r, uint32_t* out) {
    detail::store_bits(
        detail::fold4(Groups(q, r.p[0]), Groups(q, r.p[1]), Groups(q, r.p[2]), Groups(q, r.p[3])),
        out);
  }
  static float single(const float* q, const float* p) { return detail::fold(Groups(q, p)); }
};

using KernelD16 = KernelGroups<16, detail::groups16>;
using KernelD24 = KernelGroups<24, detail::groups24>;

#else

namespace detail {

inline float h4(const float* g) { return (g[0] + g[1]) + (g[2] + g[3]); }

inline void terms(const float* q, const float* p, std::size_t n, float* m) {
  for (std::size_t c = 0; c < n; ++c) m[c] = torus_term(q[c], p[c]);
}

}  // namespace detail

struct KernelD8 {
  static constexpr std::size_t dim = 8;
  static void group(const float* q, const Rows4& r, uint32_t* out) {
    for (int i = 0; i < 4; ++i) {
      float m[8];
      detail::terms(q, r.p[i], 8, m);
      out[i] = distance_bits((((m[0] + m[1]) + (m[2] + m[3])) + ((m[4] + m[5]) + m[6])) + m[7]);
    }
  }
  static float single(const float* q, const float* p) {
    float m[8], g[4];
    detail::terms(q, p, 8, m);
    for (int lane = 0; lane < 4; ++lane) g[lane] = m[lane] + m[4 + lane];
    return detail::h4(g);
  }
};

struct KernelD16 {
  static constexpr std::size_t dim = 16;
  static float single(const float* q, const float* p) {
    float m[16], g[4];
    detail::terms(q, p, 16, m);
    for (int lane = 0; lane < 4; ++lane)
      g[lane] = (m[lane] + m[8 + lane]) + (m[4 + lane] + m[12 + lane]);
    return detail::h4(g);
  }
  static void group(const float* q, const Rows4& r, uint32_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = distance_bits(single(q, r.p[i]));
  }
};

struct KernelD24 {
  static constexpr std::size_t dim = 24;
  static float single(const float* q, const float* p) {
    float m[24], g[4];
    detail::terms(q, p, 24, m);
    for (int lane = 0; lane < 4; ++lane)
      g[lane] =
          ((m[lane] + m[16 + lane]) + m[8 + lane]) + ((m[4 + lane] + m[20 + lane]) + m[12 + lane]);
    return detail::h4(g);
  }
  static void group(const float* q, const Rows4& r, uint32_t* out) {
    for (int i = 0; i < 4; ++i) out[i] = distance_bits(single(q, r.p[i]));
  }
};

#endif

// Every other dimension: torus_l1_f32 row by row. Dim > 0 fixes d at
// compile time (unrolled, same association); Dim = 0 reads it at run time.
template <std::size_t Dim>
struct KernelGeneral {
  static constexpr std::size_t dim = Dim;
  std::size_t d;
  float single(const float* q, const float* p) const {
    return Dim > 0 ? torus_l1_f32<Dim>(q, p) : torus_l1_f32(q, p, d);
  }
  void group(const float* q, const Rows4& r, uint32_t* out) const {
    for (int i = 0; i < 4; ++i) out[i] = distance_bits(single(q, r.p[i]));
  }
};

}  // namespace plovik
