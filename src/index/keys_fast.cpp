#include "keys_fast.hpp"

// GCC and Clang on x86-64 compile the four-row AVX2 loop into a baseline
// build and choose it at run time; other processors use the portable loop.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define PLOVIK_AVX2_KEYS 1
#include <immintrin.h>
#else
#define PLOVIK_AVX2_KEYS 0
#endif

#include <algorithm>

#include "array.hpp"

namespace plovik {

bool fast_keys_apply(const RustLshIndex& ix) {
  if (ix.b < 1 || ix.b > (int64_t{1} << 31) - 1) return false;
  // b^K at most 2^31: codes and keys fit 32 bits, and keys summed in double
  // precision are exact.
  int64_t space = 1;
  for (std::size_t j = 0; j < ix.k; ++j) {
    space *= ix.b;
    if (space > (int64_t{1} << 31)) return false;
  }
  return all_in_unit(ix.u.data(), ix.u.size());
}

bool all_in_unit(const double* values, std::size_t count) {
  int ok = 1;
  for (std::size_t i = 0; i < count; ++i) ok &= (values[i] >= 0.0) & (values[i] < 1.0);
  return ok != 0;
}

namespace {

constexpr std::size_t block_rows = 64;

// The table's hashed components, read once per table.
struct Component {
  const double* column;  // the block's values of the hashed coordinate
  double offset;
  double weight;  // b^j
};

// With x = p + u in [0, 2), floor(x) is the truncation of x, so w is the
// same subtraction as in the general formula; the cell code is the
// truncation of w * b capped at b - 1, and the key, a sum of integers below
// 2^31, is exact in double precision.
inline double scalar_key(const Component* comps, std::size_t k, std::size_t i, double cells,
                         double top) {
  double key = 0.0;
  for (std::size_t j = 0; j < k; ++j) {
    const double x = comps[j].column[i] + comps[j].offset;
    const double w = x - __builtin_trunc(x);
    const double code = __builtin_trunc(w * cells);
    key += (code < top ? code : top) * comps[j].weight;
  }
  return key;
}

void table_keys_default(const Component* comps, std::size_t k, std::size_t count, double cells,
                        double top, int64_t* dst) {
  for (std::size_t i = 0; i < count; ++i)
    dst[i] = static_cast<int64_t>(scalar_key(comps, k, i, cells, top));
}

#if PLOVIK_AVX2_KEYS
// Four rows at a time with the key kept in a register over the components.
__attribute__((target("avx2"))) void table_keys_avx2(const Component* comps, std::size_t k,
                                                     std::size_t count, double cells,
                                                     double top, int64_t* dst) {
  constexpr int trunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
  const __m256d vcells = _mm256_set1_pd(cells);
  const __m256d vtop = _mm256_set1_pd(top);
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m256d key = _mm256_setzero_pd();
    for (std::size_t j = 0; j < k; ++j) {
      const __m256d x =
          _mm256_add_pd(_mm256_loadu_pd(comps[j].column + i), _mm256_set1_pd(comps[j].offset));
      const __m256d w = _mm256_sub_pd(x, _mm256_round_pd(x, trunc));
      const __m256d code = _mm256_round_pd(_mm256_mul_pd(w, vcells), trunc);
      // min(code, top): code is never NaN here, so the operand order of
      // the instruction does not matter.
      key = _mm256_add_pd(key,
                          _mm256_mul_pd(_mm256_min_pd(code, vtop), _mm256_set1_pd(comps[j].weight)));
    }
    // Keys are below 2^31: through 32-bit integers, then widened.
    const __m128i key32 = _mm256_cvttpd_epi32(key);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_cvtepi32_epi64(key32));
  }
  for (; i < count; ++i) dst[i] = static_cast<int64_t>(scalar_key(comps, k, i, cells, top));
}

bool have_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}
#endif

}  // namespace

void fast_keys_block(const RustLshIndex& ix, const double* rows, std::size_t d,
                     std::size_t count, int64_t* out, std::size_t stride) {
  // Columns of the block, so that every component reads contiguous values.
  alignas(64) double columns[block_rows * 64];
  const bool small_d = d <= 64;
  Array<double> wide;
  double* cols = columns;
  if (!small_d) {
    wide.resize(checked_mul(d, block_rows));
    cols = wide.data();
  }
  for (std::size_t i = 0; i < count; ++i)
    for (std::size_t c = 0; c < d; ++c) cols[c * block_rows + i] = rows[i * d + c];

  const double cells = static_cast<double>(ix.b);
  const double top = static_cast<double>(ix.b - 1);
#if PLOVIK_AVX2_KEYS
  const bool avx2 = have_avx2();
#endif
  Component comps_small[16];
  Array<Component> comps_wide;
  Component* comps = comps_small;
  if (ix.k > 16) {
    comps_wide.resize(ix.k);
    comps = comps_wide.data();
  }
  for (std::size_t t = 0; t < ix.l; ++t) {
    for (std::size_t j = 0; j < ix.k; ++j) {
      const std::size_t at = t * ix.k + j;
      comps[j] = {cols + static_cast<std::size_t>(ix.s[at]) * block_rows, ix.u[at],
                  static_cast<double>(ix.radix[j])};
    }
    int64_t* dst = out + t * stride;
#if PLOVIK_AVX2_KEYS
    if (avx2)
      table_keys_avx2(comps, ix.k, count, cells, top, dst);
    else
#endif
      table_keys_default(comps, ix.k, count, cells, top, dst);
  }
}

}  // namespace plovik
