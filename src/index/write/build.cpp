#include "index/write/build.hpp"

#include "index/cpu_features.hpp"

// The four-value AVX2 loop of wrap_to_f32 is compiled where cpu_features.hpp
// allows it and chosen at run time; other processors use the portable loop.
#if PLOVIK_AVX2_TARGET
#include <immintrin.h>
#endif

#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "index/errors.hpp"
#include "index/hash/keys.hpp"
#include "index/tiers/sort_tier.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace plovik {

void validate_build(const Index& ix, std::size_t n, std::size_t d, std::size_t n_static) {
  if (ix.b < 1) throw InvalidArgument("b must be at least 1");
  if (ix.k == 0) throw InvalidArgument("k must be at least 1");
  if (ix.l == 0) throw InvalidArgument("l must be at least 1");
  for (int64_t c : ix.s)
    if (c < 0 || static_cast<uint64_t>(c) >= d)
      throw InvalidArgument("s must hold coordinate indices in [0, d) for d = " +
                            std::to_string(d));
  if (!checked_key_space(ix.b, ix.k)) throw InvalidArgument("b**k must not exceed 2**63 - 1");
  if (n_static > n)
    throw InvalidArgument("n_static (" + std::to_string(n_static) +
                          ") exceeds the number of points (" + std::to_string(n) + ")");
  if (n_static >= max_tier_points || n - n_static >= max_tier_points)
    throw InvalidArgument(tier_too_large);
}

namespace {

#if PLOVIK_AVX2_TARGET
// wrap_f32 of [begin, end), four values at a time: the same values bit for
// bit (floor rounds exactly, as floor_exact does; the conversion to single
// precision rounds to nearest, as the scalar cast), with no branch on where
// a value lies, so that coordinates of either sign cost the same.
__attribute__((target("avx2"))) void wrap_to_f32_avx2(const double* in, float* out,
                                                      std::size_t begin, std::size_t end) {
  std::size_t i = begin;
  for (; i + 4 <= end; i += 4) {
    const __m256d x = _mm256_loadu_pd(in + i);
    _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_sub_pd(x, _mm256_floor_pd(x))));
  }
  for (; i < end; ++i) out[i] = wrap_f32(in[i]);
}
#endif

}  // namespace

void wrap_to_f32(const double* in, float* out, std::size_t count) {
  struct NoState {};
#if PLOVIK_AVX2_TARGET
  if (cpu_has_avx2()) {
    parallel::for_chunks(
        count, std::size_t{1} << 16, [] { return NoState{}; },
        [&](NoState&, std::size_t begin, std::size_t end) {
          wrap_to_f32_avx2(in, out, begin, end);
        });
    return;
  }
#endif
  parallel::for_chunks(
      count, std::size_t{1} << 16, [] { return NoState{}; },
      [&](NoState&, std::size_t begin, std::size_t end) {
        // Values already in [0, 1) only need rounding; wrap the chunk only
        // when one of them does not. A -0.0 counts as outside: wrapping
        // makes it +0.0, as for the queries.
        int in_unit = 1;
        for (std::size_t i = begin; i < end; ++i) {
          out[i] = static_cast<float>(in[i]);
          in_unit &= static_cast<int>(!std::signbit(in[i])) & (in[i] < 1.0);
        }
        if (!in_unit)
          for (std::size_t i = begin; i < end; ++i) out[i] = wrap_f32(in[i]);
      });
}

void build(Index& ix, Array<double> points, std::size_t n, std::size_t d, std::size_t n_static) {
  validate_build(ix, n, d, n_static);

  // The order keeps the peak low: each tier is hashed a few tables at a
  // time while only the points and the ids exist; the single-precision
  // copy comes last, after which the points' buffer keeps the candidates'
  // rows alone.
  const std::size_t n_cand = n - n_static;
  Tier stat = hash_sort_tier(ix, points.data(), d, 0, n_static);
  Tier cand = hash_sort_tier(ix, points.data(), d, n_static, n_cand);

  Array<float> coords_f32;
  coords_f32.reserve(points.capacity());
  coords_f32.resize(points.size());
  wrap_to_f32(points.data(), coords_f32.data(), points.size());

  // Everything exists: install it (moves and a copy within the points'
  // buffer only, nothing can fail or stop from here).
  parallel::NoInterrupts commit;
  if (n_cand != 0 && n_static != 0)
    std::memmove(points.data(), points.data() + n_static * d, n_cand * d * sizeof(double));
  points.resize(n_cand * d);
  release_unused(points);
  ix.coords_f32 = std::move(coords_f32);
  ix.cand_f64 = std::move(points);
  ix.d = d;
  ix.n_points = n;
  ix.n_static = n_static;
  ix.static_tables = std::move(stat);
  ix.cand_tables = std::move(cand);
  ix.retired = RetiredSet{};  // new points: none retired
  // The kept arrays are bounded by what the index now holds.
  const IndexBytes held = index_bytes(ix);
  ix.reuse.set_index_bytes(held.total() - held.reuse);
}

}  // namespace plovik
