#include "index/tuning/spread.hpp"

#include <algorithm>
#include <cmath>

#include "index/errors.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// Pairs per task of coordinate_spread.
constexpr std::size_t pairs_per_task = 512;

// v - floor(v): v itself when already in [0, 1) (no call to floor).
inline double wrapped(double v) { return v >= 0.0 && v < 1.0 ? v : v - std::floor(v); }

}  // namespace

Array<double> coordinate_spread(const SampleRows& rows, std::span<const int64_t> a,
                                std::span<const int64_t> b) {
  if (a.size() != b.size()) throw InvalidArgument("a and b must hold as many rows");
  const auto valid = [&](int64_t i) { return i >= 0 && static_cast<std::size_t>(i) < rows.m; };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!valid(a[i]) || !valid(b[i])) throw InvalidArgument("every row index must lie in [0, m)");
  const std::size_t d = rows.d, pairs = a.size();
  // The terms on every worker (reading the rows of random pairs is what
  // costs: a memory access each), then summed on one thread in the pairs'
  // order, so that the sums never depend on the thread count.
  Array<double> terms(checked_mul(pairs, d));
  struct NoState {};
  parallel::for_chunks(
      pairs, pairs_per_task, [] { return NoState{}; },
      [&](NoState&, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
          const double* x = rows.row(static_cast<std::size_t>(a[i]));
          const double* y = rows.row(static_cast<std::size_t>(b[i]));
          double* term = terms.data() + i * d;
          for (std::size_t c = 0; c < d; ++c) {
            const double diff = std::abs(wrapped(x[c]) - wrapped(y[c]));
            term[c] = std::min(diff, 1.0 - diff);
          }
        }
      });
  Array<double> sums(d, 0.0);
  for (std::size_t i = 0; i < pairs; ++i)
    for (std::size_t c = 0; c < d; ++c) sums[c] += terms[i * d + c];
  if (!a.empty())
    for (double& s : sums) s /= static_cast<double>(a.size());
  return sums;
}

Array<int64_t> weighted_draw(std::span<const double> weights, std::span<const double> draws,
                             std::size_t tables, std::size_t components, std::size_t stride) {
  const std::size_t live = weights.size();
  if (live == 0) throw InvalidArgument("weights must not be empty");
  if (stride < components || draws.size() < checked_mul(tables, stride))
    throw InvalidArgument("draws must hold a row of at least `components` per table");
  Array<int64_t> out(checked_mul(tables, components));
  Array<double> left(live), cdf(live);
  for (std::size_t t = 0; t < tables; ++t) {
    for (std::size_t j = 0; j < components; ++j) {
      if (j % live == 0) std::copy(weights.begin(), weights.end(), left.begin());
      double sum = 0.0;
      for (std::size_t i = 0; i < live; ++i) cdf[i] = sum += left[i];
      const double target = draws[t * stride + j] * cdf[live - 1];
      std::size_t pick = 0;
      for (std::size_t i = 0; i < live; ++i) pick += cdf[i] <= target;
      if (pick == live) {  // rounded up to the total: the last coordinate left
        pick = live - 1;
        while (pick > 0 && !(left[pick] > 0.0)) --pick;
      }
      out[t * components + j] = static_cast<int64_t>(pick);
      left[pick] = 0.0;
    }
  }
  return out;
}

}  // namespace plovik
