#include "index/hash/keys_vectorised.hpp"

#include "index/cpu_features.hpp"

// The four-row AVX2 loop is compiled where cpu_features.hpp allows it and
// chosen at run time; other processors use the portable loop.
#if PLOVIK_AVX2_TARGET
#include <immintrin.h>
#endif

#include <algorithm>

#include "index/hash/keys.hpp"
#include "index/memory/array.hpp"

namespace plovik {

bool vectorised_keys_apply(const Index& ix) {
  if (ix.b < 1 || ix.b > (int64_t{1} << 31) - 1) return false;
  // b^K at most 2^31: codes and keys fit 32 bits, and keys summed in double
  // precision are exact.
  const std::optional<int64_t> space = checked_key_space(ix.b, ix.k);
  if (!space || *space > (int64_t{1} << 31)) return false;
  return all_in_unit(ix.u.data(), ix.u.size());
}

bool all_in_unit(const double* values, std::size_t count) {
  int ok = 1;
  for (std::size_t i = 0; i < count; ++i) ok &= (values[i] >= 0.0) & (values[i] < 1.0);
  return ok != 0;
}

namespace {

// The table's hashed components, read once per table.
struct Component {
  const double* column;  // the chunk's values of the hashed coordinate
  double offset;
  double weight;   // b^j
  uint64_t radix;  // the same, as the general formula multiplies it
};

// Row i by the general formula (cell_position, cell_code).
inline int64_t row_key(const Component* comps, std::size_t components, std::size_t i, double cells,
                       int64_t b) {
  uint64_t key = 0;
  for (std::size_t j = 0; j < components; ++j) {
    const double y = cell_position(comps[j].column[i], comps[j].offset, cells);
    key += static_cast<uint64_t>(cell_code(y, b)) * comps[j].radix;
  }
  return static_cast<int64_t>(key);
}

void table_keys_default(const Component* comps, std::size_t components, std::size_t count,
                        double cells, int64_t b, int64_t* dst) {
  for (std::size_t i = 0; i < count; ++i) dst[i] = row_key(comps, components, i, cells, b);
}

#if PLOVIK_AVX2_TARGET
// Four rows at a time with the key kept in a register over the components:
// the general formula in double precision. With x = p + u finite, floor(x)
// is exact and w = x - floor(x) lies in [0, 1], the same subtraction; the
// cell code is the truncation of w * b (at most b) capped at b - 1, and the
// key, a sum of integers below 2^31, is exact in double precision.
__attribute__((target("avx2"))) void table_keys_avx2(const Component* comps, std::size_t components,
                                                     std::size_t count, double cells, int64_t b,
                                                     int64_t* dst) {
  constexpr int trunc = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
  constexpr int floor = _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC;
  const __m256d vcells = _mm256_set1_pd(cells);
  const __m256d vtop = _mm256_set1_pd(static_cast<double>(b - 1));
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    __m256d key = _mm256_setzero_pd();
    for (std::size_t j = 0; j < components; ++j) {
      const __m256d x =
          _mm256_add_pd(_mm256_loadu_pd(comps[j].column + i), _mm256_set1_pd(comps[j].offset));
      const __m256d w = _mm256_sub_pd(x, _mm256_round_pd(x, floor));
      const __m256d code = _mm256_round_pd(_mm256_mul_pd(w, vcells), trunc);
      // min(code, top): code is never NaN here, so the operand order of
      // the instruction does not matter.
      key = _mm256_add_pd(
          key, _mm256_mul_pd(_mm256_min_pd(code, vtop), _mm256_set1_pd(comps[j].weight)));
    }
    // Keys are below 2^31: through 32-bit integers, then widened.
    const __m128i key32 = _mm256_cvttpd_epi32(key);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_cvtepi32_epi64(key32));
  }
  for (; i < count; ++i) dst[i] = row_key(comps, components, i, cells, b);
}
#endif

// Copies `count` rows of d values into the chunk's columns (column c at
// cols + c * chunk_rows); false when a value is NaN or infinite (v - v is
// then NaN, not 0).
bool rows_to_columns(const double* rows, std::size_t d, std::size_t count, double* cols) {
  int finite = 1;
  for (std::size_t i = 0; i < count; ++i)
    for (std::size_t c = 0; c < d; ++c) {
      const double v = rows[i * d + c];
      cols[c * chunk_rows + i] = v;
      finite &= static_cast<int>(v - v == 0.0);
    }
  return finite != 0;
}

#if PLOVIK_AVX2_TARGET
// The same for d a multiple of four, four rows by four columns at a time
// (a 4 x 4 transpose in registers); cols is 32-byte aligned.
__attribute__((target("avx2"))) bool rows_to_columns_avx2(const double* rows, std::size_t d,
                                                          std::size_t count, double* cols) {
  const __m256d zero = _mm256_setzero_pd();
  __m256d infinite = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const double* p = rows + i * d;
    for (std::size_t c = 0; c < d; c += 4) {
      __m256d r[4];
      for (std::size_t row = 0; row < 4; ++row) {
        r[row] = _mm256_loadu_pd(p + row * d + c);
        // v - v is 0 for a finite v, NaN for NaN and infinities (unordered).
        infinite =
            _mm256_or_pd(infinite, _mm256_cmp_pd(_mm256_sub_pd(r[row], r[row]), zero, _CMP_NEQ_UQ));
      }
      const __m256d lo01 = _mm256_unpacklo_pd(r[0], r[1]), hi01 = _mm256_unpackhi_pd(r[0], r[1]);
      const __m256d lo23 = _mm256_unpacklo_pd(r[2], r[3]), hi23 = _mm256_unpackhi_pd(r[2], r[3]);
      double* out = cols + c * chunk_rows + i;
      _mm256_store_pd(out, _mm256_permute2f128_pd(lo01, lo23, 0x20));
      _mm256_store_pd(out + chunk_rows, _mm256_permute2f128_pd(hi01, hi23, 0x20));
      _mm256_store_pd(out + 2 * chunk_rows, _mm256_permute2f128_pd(lo01, lo23, 0x31));
      _mm256_store_pd(out + 3 * chunk_rows, _mm256_permute2f128_pd(hi01, hi23, 0x31));
    }
  }
  int finite = _mm256_movemask_pd(infinite) == 0;
  for (; i < count; ++i)
    for (std::size_t c = 0; c < d; ++c) {
      const double v = rows[i * d + c];
      cols[c * chunk_rows + i] = v;
      finite &= static_cast<int>(v - v == 0.0);
    }
  return finite != 0;
}
#endif

}  // namespace

bool vectorised_keys_rows(const Index& ix, const double* rows, std::size_t d, std::size_t count,
                          TableSpan tables, int64_t* out, std::size_t stride) {
  // Columns of the chunk, so that every component reads contiguous values.
  alignas(64) double columns[chunk_rows * 64];
  const bool small_d = d <= 64;
  Array<double> wide;
  double* cols = columns;
  if (!small_d) {
    wide.resize(checked_mul(d, chunk_rows));
    cols = wide.data();
  }
#if PLOVIK_AVX2_TARGET
  const bool avx2 = cpu_has_avx2();
#endif
  // Finiteness is checked on the way, so that the rows are read once.
  bool finite;
#if PLOVIK_AVX2_TARGET
  if (avx2 && small_d && d % 4 == 0)
    finite = rows_to_columns_avx2(rows, d, count, cols);
  else
#endif
    finite = rows_to_columns(rows, d, count, cols);
  if (!finite) return false;

  const double cells = static_cast<double>(ix.b);
  Component comps_small[16];
  Array<Component> comps_wide;
  Component* comps = comps_small;
  if (ix.k > 16) {
    comps_wide.resize(ix.k);
    comps = comps_wide.data();
  }
  for (std::size_t t = tables.first; t < tables.first + tables.count; ++t) {
    for (std::size_t j = 0; j < ix.k; ++j) {
      const std::size_t at = t * ix.k + j;
      comps[j] = {cols + static_cast<std::size_t>(ix.s[at]) * chunk_rows, ix.u[at],
                  static_cast<double>(ix.radix[j]), ix.radix[j]};
    }
    int64_t* dst = out + (t - tables.first) * stride;
#if PLOVIK_AVX2_TARGET
    if (avx2)
      table_keys_avx2(comps, ix.k, count, cells, ix.b, dst);
    else
#endif
      table_keys_default(comps, ix.k, count, cells, ix.b, dst);
  }
  return true;
}

}  // namespace plovik
