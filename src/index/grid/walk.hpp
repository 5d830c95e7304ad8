// Walking the cells of a grid around a query: the cells within a distance
// (radius queries) and rings of cells outward (k-nearest queries), each
// cell with a lower bound of its distance to the query in the metric's
// terms (AxisCost: the weighted gaps summed for L1, their squares for L2);
// and the queries prepared for them, wrapped and ordered by cell.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "index/grid/kernel.hpp"
#include "index/memory/array.hpp"
#include "index/query/batch.hpp"

namespace plovik::grid_detail {

// Linear cell numbers: axis 0 varies slowest.
struct CellStrides {
  std::size_t stride[max_grid_dims] = {};
  std::size_t d = 0;

  explicit CellStrides(std::span<const std::size_t> cells) : d(cells.size()) {
    std::size_t s = 1;
    for (std::size_t a = d; a-- > 0;) {
      stride[a] = s;
      s *= cells[a];
    }
  }
};

// A batch of queries wrapped as the index wraps them, laid out in the order
// of their cells (ties in query order) so that neighbouring tasks read
// neighbouring cells and each task reads its queries in sequence: the
// query at place p is query order[p], with coordinates coords[p * d ..]
// and excluded id excluded[p] (-1: none).
struct Queries {
  Array<float> coords;
  Array<int64_t> excluded;
  Array<std::size_t> order;
};

Queries prepare_queries(std::size_t d, std::span<const std::size_t> cells, const QueryBatch& q);

// The cells whose lower bound of the distance to one query is within a
// limit (a distance; compared as costs, see AxisCost): per axis but the
// last the cells within it, in the order of their offsets;
// along the last axis, for each combination of those whose gaps leave room,
// the run of cells around the query's within the rest (consecutive in the
// sorted points, in one or two pieces round the torus).
class Reach {
 public:
  Reach(std::size_t d, const AxisCost& cost) : axes_(d > 0 ? d - 1 : 0), d_(d), cost_(cost) {}

  void around(const float* q, std::span<const std::size_t> cells, double distance) {
    const double limit = limit_ = cost_.limit(distance);
    for (std::size_t a = 0; a < d_; ++a) {
      const std::size_t n = cells[a];
      const double x = static_cast<double>(q[a]);
      const std::size_t c = cell_of(q[a], n);
      // A cell o steps away is at least (|o| - 1) / n away along the axis,
      // its weight times that in the metric.
      int64_t low = offset_low(n), high = offset_high(n);
      const double reach = distance / cost_.w[a] * static_cast<double>(n) + 1.0;
      if (reach < static_cast<double>(high)) {
        const auto r = static_cast<int64_t>(reach);
        low = std::max(low, -r);
        high = std::min(high, r);
      }
      if (a + 1 == d_) {
        last_c_ = c;
        last_n_ = n;
        last_low_ = low;
        last_gap_.clear();
        for (int64_t o = low; o <= high; ++o)
          last_gap_.push_back(cost_.cost(a, gap_to_cell(x, cell_at(c, o, n), n)));
        continue;
      }
      auto& axis = axes_[a];
      axis.clear();
      for (int64_t o = low; o <= high; ++o) {
        const std::size_t cell = cell_at(c, o, n);
        const double gap = cost_.cost(a, gap_to_cell(x, cell, n));
        if (gap <= limit) axis.emplace_back(gap, cell);
      }
    }
  }

  // Calls visit(first, last) for each run of cells [first, last] (linear
  // numbers) within the distance given to around().
  // D: d when known at compile time (1 to 4), else 0.
  template <std::size_t D = 0, class Visit>
  void for_runs(const CellStrides& strides, Visit&& visit) const {
    const double limit = limit_;
    if (d_ == 0) {
      visit(std::size_t{0}, std::size_t{0});
      return;
    }
    if constexpr (D > 0) {
      walk_fixed<D, 0>(0.0, 0, strides, limit, visit);
    } else {
      walk(0, 0.0, 0, strides, limit, visit);
    }
  }

 private:
  // walk() unrolled over the axes of a d known at compile time.
  template <std::size_t D, std::size_t A, class Visit>
  void walk_fixed(double sum, std::size_t base, const CellStrides& strides, double limit,
                  Visit& visit) const {
    if constexpr (A + 1 == D) {
      last_runs(sum, base, limit, visit);
    } else {
      for (const auto& [gap, cell] : axes_[A]) {
        if (sum + gap > limit) continue;
        walk_fixed<D, A + 1>(sum + gap, base + strides.stride[A] * cell, strides, limit, visit);
      }
    }
  }

  template <class Visit>
  void last_runs(double sum, std::size_t base, double limit, Visit& visit) const {
    // The gap grows away from the query's cell on either side: the cells
    // within the rest of the limit are a run around it.
    const double rest = limit - sum;
    const auto zero = static_cast<std::size_t>(-last_low_);
    if (!(last_gap_[zero] <= rest)) return;
    std::size_t lo = zero, hi = zero;
    while (hi + 1 < last_gap_.size() && last_gap_[hi + 1] <= rest) ++hi;
    while (lo > 0 && last_gap_[lo - 1] <= rest) --lo;
    const int64_t o_lo = static_cast<int64_t>(lo) + last_low_,
                  o_hi = static_cast<int64_t>(hi) + last_low_;
    const std::size_t x0 = cell_at(last_c_, o_lo, last_n_), x1 = cell_at(last_c_, o_hi, last_n_);
    if (x0 <= x1) {
      visit(base + x0, base + x1);
    } else {
      visit(base + x0, base + last_n_ - 1);
      visit(base, base + x1);
    }
  }

  template <class Visit>
  void walk(std::size_t a, double sum, std::size_t base, const CellStrides& strides, double limit,
            Visit& visit) const {
    if (a + 1 == d_) {
      last_runs(sum, base, limit, visit);
      return;
    }
    for (const auto& [gap, cell] : axes_[a]) {
      if (sum + gap > limit) continue;
      walk(a + 1, sum + gap, base + strides.stride[a] * cell, strides, limit, visit);
    }
  }

  std::vector<std::vector<std::pair<double, std::size_t>>> axes_;
  std::size_t d_;
  AxisCost cost_;
  double limit_ = 0.0;
  std::size_t last_c_ = 0, last_n_ = 1;
  int64_t last_low_ = 0;
  std::vector<double> last_gap_;  // gaps of the last axis' offsets from last_low_ on
};

// Rings of cells around a query's cell: ring r holds the cells whose
// largest offset along an axis is r (offsets taken the short way round the
// torus, each cell once). The cost of each offset (AxisCost) is computed
// when first needed; bounds and limits are costs.
class Rings {
 public:
  Rings(std::span<const std::size_t> cells, const AxisCost& cost)
      : d_(cells.size()), strides_(cells), cost_(cost) {
    for (std::size_t a = 0; a < d_; ++a) {
      n_[a] = cells[a];
      low_[a] = offset_low(cells[a]);
      high_[a] = offset_high(cells[a]);
    }
  }

  void around(const float* q) {
    for (std::size_t a = 0; a < d_; ++a) {
      x_[a] = static_cast<double>(q[a]);
      c_[a] = cell_of(q[a], n_[a]);
      ready_[a] = -1;
      up_[a].clear();
      down_[a].clear();
    }
  }

  // Whether ring r is the outermost: no axis has an offset beyond it.
  bool last(std::size_t r) const {
    for (std::size_t a = 0; a < d_; ++a)
      if (static_cast<int64_t>(r) < std::max(-low_[a], high_[a])) return false;
    return true;
  }

  // A lower bound (a cost) of the distance to every cell beyond ring r:
  // such a cell lies beyond it along some axis, and along an axis the gap
  // grows with the offset up to half way round.
  double beyond(std::size_t r) {
    double bound = std::numeric_limits<double>::infinity();
    const auto o = static_cast<int64_t>(r) + 1;
    for (std::size_t a = 0; a < d_; ++a) {
      if (o <= high_[a]) bound = std::min(bound, gap(a, o));
      if (-o >= low_[a]) bound = std::min(bound, gap(a, -o));
    }
    return bound;
  }

  // Calls visit(cell, bound) for every cell of ring r, bound the sum of
  // its costs, but those whose costs along the first axes already exceed
  // limit(), a cost (read as the walk goes: it may shrink meanwhile).
  template <class Visit, class Limit>
  void for_ring(std::size_t r, Visit&& visit, Limit&& limit) {
    const auto R = static_cast<int64_t>(r);
    for (std::size_t a = 0; a < d_; ++a) {
      from_[a] = std::max(low_[a], -R);
      to_[a] = std::min(high_[a], R);
    }
    walk(0, false, 0.0, 0, R, visit, limit);
  }

 private:
  // The gap of offset o along axis a (within its canonical offsets).
  double gap(std::size_t a, int64_t o) {
    const int64_t need = std::max(o, -o);
    // Offsets are made ring by ring: those of |o| up to ready_[a] exist.
    while (ready_[a] < need) {
      const int64_t next = ++ready_[a];
      if (next <= high_[a])
        up_[a].push_back(cost_.cost(a, gap_to_cell(x_[a], cell_at(c_[a], next, n_[a]), n_[a])));
      if (next > 0 && -next >= low_[a])
        down_[a].push_back(cost_.cost(a, gap_to_cell(x_[a], cell_at(c_[a], -next, n_[a]), n_[a])));
    }
    return o >= 0 ? up_[a][static_cast<std::size_t>(o)]
                  : down_[a][static_cast<std::size_t>(-o - 1)];
  }

  template <class Visit, class Limit>
  void walk(std::size_t a, bool on_ring, double sum, std::size_t base, int64_t R, Visit& visit,
            Limit& limit) {
    if (sum > limit()) return;  // costs only add up
    if (a == d_) {
      if (on_ring || R == 0) visit(base, sum);
      return;
    }
    // The last axis must reach the ring when no earlier one did.
    const bool must = !on_ring && a + 1 == d_;
    for (int64_t o = from_[a]; o <= to_[a]; ++o) {
      const bool here = o == R || o == -R;
      if (must && !here) continue;
      walk(a + 1, on_ring || here, sum + gap(a, o),
           base + strides_.stride[a] * cell_at(c_[a], o, n_[a]), R, visit, limit);
    }
  }

  std::size_t d_;
  CellStrides strides_;
  AxisCost cost_;
  std::size_t n_[max_grid_dims] = {};
  int64_t low_[max_grid_dims] = {}, high_[max_grid_dims] = {};
  int64_t from_[max_grid_dims] = {}, to_[max_grid_dims] = {};
  double x_[max_grid_dims] = {};
  std::size_t c_[max_grid_dims] = {};
  int64_t ready_[max_grid_dims] = {};
  std::vector<double> up_[max_grid_dims];    // costs of offsets 0, 1, 2, ...
  std::vector<double> down_[max_grid_dims];  // costs of offsets -1, -2, ...
};

}  // namespace plovik::grid_detail
