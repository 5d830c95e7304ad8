// Toroidal hash: cell codes, within-cell fractions and table keys.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// floor(x), exactly, without a library call: truncation is exact below
// 2^52 and copysign keeps floor(-0.0) == -0.0.
inline double floor_exact(double x) {
  if (!(std::fabs(x) < 4503599627370496.0)) return std::floor(x);
  double t = std::copysign(static_cast<double>(static_cast<int64_t>(x)), x);
  return t > x ? t - 1.0 : t;
}

// x wrapped onto the unit circle: x - floor(x), in [0, 1]; NaN for NaN or
// infinite x.
inline double wrap_unit(double x) { return x - floor_exact(x); }

// The single-precision copy distances are measured on: the coordinate
// wrapped in double precision, then rounded to nearest.
inline float wrap_f32(double x) { return static_cast<float>(wrap_unit(x)); }

// Cell code of y = w * b: truncation toward zero saturating at the int64
// limits (NaN gives 0), then at most b - 1.
inline int64_t cell_code(double y, int64_t b) {
  int64_t code;
  if (std::isnan(y))
    code = 0;
  else if (y >= 9223372036854775808.0)
    code = INT64_MAX;
  else if (y < -9223372036854775808.0)
    code = INT64_MIN;
  else
    code = static_cast<int64_t>(y);
  return code > b - 1 ? b - 1 : code;
}

// Position of a coordinate among the b cells of one component: the
// coordinate plus the component's offset, wrapped onto the unit circle in
// double precision, times b. Its cell code is cell_code(position, b), and a
// key sums code_j * b^j over the table's components (wrapping). Every key
// is computed by this formula; the vectorised path evaluates it four rows
// at a time.
inline double cell_position(double coord, double offset, double cells) {
  const double x = coord + offset;
  const double w = x - floor_exact(x);
  return w * cells;
}

// Key of the point q (d values, d > every s of table t) in table t; fills
// codes[0..K) and fracs[0..K).
int64_t query_codes(const Index& ix, const double* q, std::size_t t, int64_t* codes, double* fracs);

// A run of tables: first, first + 1, .. first + count - 1.
struct TableSpan {
  std::size_t first;
  std::size_t count;
};

// Keys of the points base .. base + count - 1 of `coords` (row-major, d
// columns) in the tables of `tables` (all L when not given), table-major:
// key of point base + i in table tables.first + u at u * count + i.
Array<int64_t> compute_keys(const Index& ix, const double* coords, std::size_t d, std::size_t base,
                            std::size_t count, TableSpan tables);
Array<int64_t> compute_keys(const Index& ix, const double* coords, std::size_t d, std::size_t base,
                            std::size_t count);

}  // namespace plovik
