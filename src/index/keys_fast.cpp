#include "keys_fast.hpp"

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

// One component of one table over the block. With x = p + u in [0, 2),
// floor(x) is the truncation of x (0 or 1), so w is the same subtraction as
// in the general formula, and the code fits 32 bits. No floating-point
// comparison in the loop, so it vectorises.
__attribute__((target_clones("avx2", "default"))) void add_component(
    const double* __restrict column, double offset, double cells, int32_t top, double weight,
    double* __restrict key, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const double x = column[i] + offset;
    const double w = x - static_cast<double>(static_cast<int32_t>(x));
    const double y = w * cells;
    int32_t code = static_cast<int32_t>(y);
    code = std::min(code, top);
    key[i] += static_cast<double>(code) * weight;
  }
}

}  // namespace

void fast_keys_block(const RustLshIndex& ix, const double* rows, std::size_t d,
                     std::size_t count, int64_t* out, std::size_t stride) {
  // Columns of the block, so that every component reads contiguous values.
  alignas(64) double columns[block_rows * 64];
  alignas(64) double key[block_rows];
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
  const auto top = static_cast<int32_t>(ix.b - 1);
  for (std::size_t t = 0; t < ix.l; ++t) {
    std::fill(key, key + count, 0.0);
    for (std::size_t j = 0; j < ix.k; ++j) {
      const std::size_t at = t * ix.k + j;
      add_component(cols + static_cast<std::size_t>(ix.s[at]) * block_rows, ix.u[at], cells, top,
                    static_cast<double>(ix.radix[j]), key, count);
    }
    int64_t* dst = out + t * stride;
    for (std::size_t i = 0; i < count; ++i) dst[i] = static_cast<int64_t>(key[i]);
  }
}

}  // namespace plovik
