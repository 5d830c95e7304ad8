#include "index/grid/pairs.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "index/errors.hpp"
#include "index/grid/kernel.hpp"
#include "index/grid/walk.hpp"
#include "index/query/topk.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace plovik {

using namespace grid_detail;

namespace {

// Points a task's cells hold at least (the last task excepted): tasks are
// cut from the cells alone, never from the thread count.
constexpr std::size_t points_per_task = 4096;
// At most about this many tasks (larger ones for more points), so that the
// counts of pairs per task and bucket stay small.
constexpr std::size_t most_tasks = 512;
constexpr std::size_t run_chunk = 256;
// Groups of tasks that count and place their pairs each on its own.
constexpr std::size_t most_groups = 8;
// The tiers a half list reads at most (a search has two).
constexpr std::size_t max_tiers = 8;

// One pair found: its ids (lo < hi, both below 2^32), its distance bits.
struct Found {
  uint32_t lo, hi, bits;
};

// What one task found; shifts d per pair when asked for.
struct TaskPairs {
  Array<Found> found;
  Array<int8_t> shift;
};

// The offsets of the cells within reach of a cell: along an axis a cell o
// steps away is max(|o| - 1, 0) / n away from every point of the cell, and
// the costs of these gaps (AxisCost) bound the distance between points of
// the two.
// d offsets per cell of the stencil (none when d is 0: the one cell).
struct Stencil {
  std::vector<int64_t> offsets;
  std::size_t cells = 0;
  // When no axis reaches half way round the torus, the half of the stencil
  // after the cell in the order of offsets (the first axis that differs has
  // a positive offset) visits each pair of cells once too, and goes by
  // columns: a column is a prefix of d - 1 offsets with the run of offsets
  // [last_low, last_high] of the last axis (cells that follow each other in
  // the sorted points). The cell itself is in no column.
  bool columns_ok = false;
  std::vector<int64_t> prefix;  // d - 1 per column, the last axis' offset 0
  std::vector<std::pair<int64_t, int64_t>> last;
};

// `distance`: the limit of the distances.
Stencil stencil(const GridTier& g, double distance) {
  const std::size_t d = g.d;
  const AxisCost cost(g.metric, d);
  const double limit = cost.limit(distance);
  std::vector<std::vector<std::pair<double, int64_t>>> axes(d);
  for (std::size_t a = 0; a < d; ++a) {
    const std::size_t n = g.cells[a];
    for (int64_t o = offset_low(n); o <= offset_high(n); ++o) {
      const double gap =
          cost.cost(a, static_cast<double>(std::max<int64_t>(std::max(o, -o) - 1, 0)) /
                           static_cast<double>(n));
      if (gap <= limit) axes[a].emplace_back(gap, o);
    }
    std::sort(axes[a].begin(), axes[a].end());
  }
  Stencil out;
  std::vector<int64_t> cur(d);
  auto walk = [&](auto& self, std::size_t a, double sum) -> void {
    if (a == d) {
      out.offsets.insert(out.offsets.end(), cur.begin(), cur.end());
      ++out.cells;
      return;
    }
    for (const auto& [gap, o] : axes[a]) {
      if (sum + gap > limit) break;
      cur[a] = o;
      self(self, a + 1, sum + gap);
    }
  };
  walk(walk, 0, 0.0);
  if (d == 0) return out;
  std::vector<int64_t> reach(d, 0);
  for (std::size_t c = 0; c < out.cells; ++c)
    for (std::size_t a = 0; a < d; ++a)
      reach[a] = std::max(reach[a], std::abs(out.offsets[c * d + a]));
  out.columns_ok = true;
  for (std::size_t a = 0; a < d; ++a)
    out.columns_ok = out.columns_ok && 2 * reach[a] < static_cast<int64_t>(g.cells[a]);
  if (!out.columns_ok) return out;
  for (std::size_t c = 0; c < out.cells; ++c) {
    const int64_t* o = out.offsets.data() + c * d;
    std::size_t first = 0;  // the first axis with a nonzero offset
    while (first < d && o[first] == 0) ++first;
    if (first == d || o[first] < 0) continue;  // the cell itself, or visited from the other
    // Along the last axis the stencil of a prefix is a run: merge into it.
    std::vector<int64_t> pre(o, o + d);
    pre[d - 1] = 0;
    std::size_t col = 0;
    while (col < out.last.size() &&
           !std::equal(pre.begin(), pre.end(),
                       out.prefix.begin() + static_cast<std::ptrdiff_t>(col * d)))
      ++col;
    if (col == out.last.size()) {
      out.prefix.insert(out.prefix.end(), pre.begin(), pre.end());
      out.last.emplace_back(o[d - 1], o[d - 1]);
    } else {
      out.last[col].first = std::min(out.last[col].first, o[d - 1]);
      out.last[col].second = std::max(out.last[col].second, o[d - 1]);
    }
  }
  return out;
}

template <std::size_t D, int Kind>
struct PairScan {
  GridTiers tiers;
  float cutoff;  // on the sums (metric_sum_cutoff)
  bool shifts;
  std::size_t d;
  AxisCost cost;
  const Metric* metric;
  const float* weights;  // the metric's weights, or null
  float dist[run_chunk];

  // The pairs of point i of tier ti (coordinates q) with points [s, e) of
  // tier tj.
  void run(const GridTier& ti, std::size_t i, const float* q, const GridTier& tj, std::size_t s,
           std::size_t e, TaskPairs& mine) {
    const float* axis[max_grid_dims];
    for (std::size_t a = 0; a < d; ++a) axis[a] = tj.coords.data() + a * tj.n;
    const int64_t id = ti.ids[i];
    for (std::size_t from = s; from < e; from += run_chunk) {
      const std::size_t len = std::min(run_chunk, e - from);
      distances_run<D, Kind>(q, axis, from, len, d, dist, metric, weights);
      for (std::size_t b = 0; b < len; b += 64) {
        uint64_t hits = within_mask(dist + b, std::min<std::size_t>(64, len - b), cutoff);
        for (; hits != 0; hits &= hits - 1) {
          const std::size_t k = b + static_cast<std::size_t>(std::countr_zero(hits));
          const int64_t other = tj.ids[from + k];
          const bool first = id < other;
          mine.found.push_back(Found{static_cast<uint32_t>(first ? id : other),
                                     static_cast<uint32_t>(first ? other : id),
                                     distance_bits(root_of<Kind>(dist[k]))});
          if (shifts) {
            for (std::size_t a = 0; a < d; ++a) {
              const float xi = q[a], xj = axis[a][from + k];
              mine.shift.push_back(
                  static_cast<int8_t>(first ? image_shift(xi, xj) : image_shift(xj, xi)));
            }
          }
        }
      }
    }
  }

  // Cell A with itself (same == true) or with cell B at offsets `off`
  // from it (canonical, see kernel.hpp), at[a] A's cell along axis a. A
  // point of A meets B only when its lower bound of the distance to B is
  // within `limit`.
  void cells(std::size_t A, std::size_t B, bool same, const int64_t* off, const std::size_t* at,
             const GridTier& g, double limit, TaskPairs& mine) {
    float q[max_grid_dims];
    for (std::size_t t1 = 0; t1 < tiers.size(); ++t1) {
      const GridTier& ti = *tiers[t1];
      for (std::size_t i = ti.starts[A]; i < ti.starts[A + 1]; ++i) {
        for (std::size_t a = 0; a < d; ++a) q[a] = ti.coords[a * ti.n + i];
        if (!same && bound_to(q, off, at, g) > limit) continue;
        for (std::size_t t2 = same ? t1 : 0; t2 < tiers.size(); ++t2) {
          const GridTier& tj = *tiers[t2];
          const std::size_t s = same && t2 == t1 ? i + 1 : tj.starts[B];
          run(ti, i, q, tj, s, tj.starts[B + 1], mine);
        }
      }
    }
  }

  // Cell A (at[a] along axis a) with the points [s[t], e[t]) of each tier t
  // (runs of cells along the last axis at offsets `off`, the last 0):
  // each point of A whose bound to them is within `limit`.
  void column(std::size_t A, const std::size_t* s, const std::size_t* e, std::size_t runs,
              const int64_t* off, const std::size_t* at, const GridTier& g, double limit,
              TaskPairs& mine) {
    float q[max_grid_dims];
    for (const GridTier* tp : tiers) {
      const GridTier& ti = *tp;
      for (std::size_t i = ti.starts[A]; i < ti.starts[A + 1]; ++i) {
        for (std::size_t a = 0; a < d; ++a) q[a] = ti.coords[a * ti.n + i];
        if (bound_to(q, off, at, g) > limit) continue;
        for (std::size_t t2 = 0; t2 < tiers.size(); ++t2)
          for (std::size_t k = 0; k < runs; ++k)
            run(ti, i, q, *tiers[t2], s[t2 * 2 + k], e[t2 * 2 + k], mine);
      }
    }
  }

  // A lower bound (a cost, see AxisCost) of the distance from q, in cell
  // `at`, to the cell at offsets `off`: along each axis the way to the near
  // face of that cell (either way round when it lies half way round the
  // torus).
  double bound_to(const float* q, const int64_t* off, const std::size_t* at,
                  const GridTier& g) const {
    double sum = 0.0;
    for (std::size_t a = 0; a < d; ++a) {
      const int64_t o = off[a];
      if (o == 0) continue;
      const auto n = static_cast<int64_t>(g.cells[a]);
      const double w = 1.0 / static_cast<double>(n), x = static_cast<double>(q[a]);
      const double lo = static_cast<double>(at[a]) * w, hi = static_cast<double>(at[a] + 1) * w;
      const double up = std::max(hi - x, 0.0), down = std::max(x - lo, 0.0);
      const int64_t steps = (o > 0 ? o : -o) - 1;
      double gap = static_cast<double>(steps) * w + (o > 0 ? up : down);
      if (2 * o == n) gap = std::min(gap, static_cast<double>(steps) * w + down);
      if constexpr (Kind == l1_plain) {
        sum += gap;  // the cost of plain L1, without the metric's branch
      } else {
        sum += cost.cost(a, gap);
      }
    }
    return sum;
  }
};

template <std::size_t D, int Kind>
void pairs_task(GridTiers tiers, float cutoff, bool shifts, const Stencil& stencil, std::size_t c0,
                std::size_t c1, TaskPairs& mine) {
  const GridTier& g = *tiers[0];
  const std::size_t d = g.d;
  const Metric& metric = g.metric;
  const AxisCost cost(metric, d);
  // The bounds are costs: the limit on the distances made one.
  const double limit = cost.limit(static_cast<double>(cutoff) + metric_slack(d, metric));
  const CellStrides strides(g.cells);
  PairScan<D, Kind> scan{tiers,
                         metric_sum_cutoff(metric.kind, cutoff),
                         shifts,
                         d,
                         cost,
                         &metric,
                         metric.weights.empty() ? nullptr : metric.weights.data(),
                         {}};
  std::size_t at[max_grid_dims];
  for (std::size_t A = c0; A < c1; ++A) {
    bool empty = true;
    for (const GridTier* t : tiers) empty = empty && t->starts[A] == t->starts[A + 1];
    if (empty) continue;
    for (std::size_t a = 0; a < d; ++a) at[a] = A / strides.stride[a] % g.cells[a];
    if (stencil.columns_ok) {
      scan.cells(A, A, true, nullptr, at, g, limit, mine);
      const std::size_t n_last = g.cells[d - 1], c_last = at[d - 1];
      std::size_t s[2 * 2 * max_tiers], e[2 * 2 * max_tiers];
      for (std::size_t col = 0; col < stencil.last.size(); ++col) {
        const int64_t* pre = stencil.prefix.data() + col * d;
        std::size_t base = 0;
        for (std::size_t a = 0; a + 1 < d; ++a)
          base += strides.stride[a] * cell_at(at[a], pre[a], g.cells[a]);
        // The run of last-axis cells, in one or two pieces round the torus.
        const auto [lo, hi] = stencil.last[col];
        const std::size_t x0 = cell_at(c_last, lo, n_last), x1 = cell_at(c_last, hi, n_last);
        std::size_t pieces[2][2] = {{x0, x1}, {0, 0}};
        std::size_t runs = 1;
        if (x1 < x0) {
          pieces[0][1] = n_last - 1;
          pieces[1][0] = 0;
          pieces[1][1] = x1;
          runs = 2;
        }
        for (std::size_t t = 0; t < tiers.size(); ++t)
          for (std::size_t k = 0; k < runs; ++k) {
            s[t * 2 + k] = tiers[t]->starts[base + pieces[k][0]];
            e[t * 2 + k] = tiers[t]->starts[base + pieces[k][1] + 1];
          }
        scan.column(A, s, e, runs, pre, at, g, limit, mine);
      }
      continue;
    }
    for (std::size_t s = 0; s < stencil.cells; ++s) {
      std::size_t B = 0;
      for (std::size_t a = 0; a < d; ++a)
        B += strides.stride[a] * cell_at(at[a], stencil.offsets[s * d + a], g.cells[a]);
      if (B < A) continue;  // visited from B
      scan.cells(A, B, B == A, stencil.offsets.data() + s * d, at, g, limit, mine);
    }
  }
}

#define PLOVIK_PAIRS_DIMS(d, K, ...)               \
  switch (d) {                                     \
    case 1: pairs_task<1, K>(__VA_ARGS__); break;  \
    case 2: pairs_task<2, K>(__VA_ARGS__); break;  \
    case 3: pairs_task<3, K>(__VA_ARGS__); break;  \
    case 4: pairs_task<4, K>(__VA_ARGS__); break;  \
    default: pairs_task<0, K>(__VA_ARGS__); break; \
  }

// Each dimension and term kind (kernel.hpp) of the metric m.
#define PLOVIK_PAIRS_DISPATCH(d, m, ...)                                    \
  switch (term_kind(m)) {                                                   \
    case l1_weighted: PLOVIK_PAIRS_DIMS(d, l1_weighted, __VA_ARGS__) break; \
    case l2_plain: PLOVIK_PAIRS_DIMS(d, l2_plain, __VA_ARGS__) break;       \
    case l2_weighted: PLOVIK_PAIRS_DIMS(d, l2_weighted, __VA_ARGS__) break; \
    default: PLOVIK_PAIRS_DIMS(d, l1_plain, __VA_ARGS__) break;             \
  }

}  // namespace

GridPairs grid_pairs(GridTiers tiers, double radius, bool shifts, bool by_distance, bool both) {
  validate_grid_tiers(tiers);
  const GridTier& g = *tiers[0];
  const std::size_t d = g.d;
  const float cutoff = static_cast<float>(radius);
  GridPairs r;
  std::size_t n = 0;
  int64_t top = -1;
  for (const GridTier* t : tiers) {
    n += t->n;
    for (const int64_t id : t->ids) top = std::max(top, id);
  }
  if (tiers.size() > max_tiers)
    throw InvalidArgument("a half list reads at most " + std::to_string(max_tiers) + " tiers");
  for (const GridTier* t : tiers)
    if (!t->ids_32) throw InvalidArgument("a half list takes ids in [0, 2**32)");
  if (n < 2 || std::isnan(cutoff)) {
    if (both) r.indptr.assign(static_cast<std::size_t>(top + 1) + 1, 0);
    return r;
  }
  const Stencil reach = stencil(g, static_cast<double>(cutoff) + metric_slack(d, g.metric));
  const std::size_t total = g.starts.size() - 1;

  // Tasks: runs of consecutive cells holding points_per_task points or more.
  std::vector<std::size_t> cut{0};
  std::size_t held = 0;
  const std::size_t task_points = std::max(points_per_task, n / most_tasks);
  for (std::size_t c = 0; c < total; ++c) {
    for (const GridTier* t : tiers) held += t->starts[c + 1] - t->starts[c];
    if (held >= task_points) {
      cut.push_back(c + 1);
      held = 0;
    }
  }
  if (cut.back() != total) cut.push_back(total);
  const std::size_t tasks = cut.size() - 1;
  std::vector<TaskPairs> by_task(tasks);
  parallel::for_each(tasks, [&](std::size_t task) {
    PLOVIK_PAIRS_DISPATCH(d, g.metric, tiers, cutoff, shifts, reach, cut[task], cut[task + 1],
                          by_task[task])
    parallel::check_interrupt();
  });

  // Exactly sized outputs: the pairs of each row (the smaller id) counted,
  // then each pair written into its row at a place taken in turn. Until a
  // row is sorted and read out, j holds each pair's key: the distance bits
  // above the larger id (by_distance), or the larger id above the distance
  // bits. The tasks fall into a few groups of consecutive tasks, each
  // counting and placing its pairs on its own (a locked increment per pair
  // would hold every scattered store up behind the last): group g's pairs
  // of row x go after those of the groups before it. The places within a
  // row depend on the groups, so on the threads; the order each row is
  // then sorted into does not.
  const auto rows = static_cast<std::size_t>(top + 1);
  const std::size_t groups = std::min({tasks, parallel::thread_count(), most_groups});
  const auto group_of = [&](std::size_t g) {
    return std::pair(g * tasks / groups, (g + 1) * tasks / groups);
  };
  // The pairs of row x in group g, then where they go within the row. A
  // row holds fewer than 2^32 pairs: its larger ids differ.
  Array<uint32_t> placed(checked_mul(groups, rows), 0);
  parallel::for_each(groups, [&](std::size_t g) {
    uint32_t* mine = placed.data() + g * rows;
    const auto [t0, t1] = group_of(g);
    for (std::size_t task = t0; task < t1; ++task)
      for (const Found& f : by_task[task].found) {
        ++mine[f.lo];
        if (both) ++mine[f.hi];
      }
  });
  Array<int64_t> start(checked_add(rows, 1), 0);
  parallel::for_chunks(
      rows, 4096, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t x = begin; x < end; ++x) {
          uint32_t before = 0;
          for (std::size_t g = 0; g < groups; ++g) {
            const uint32_t here = placed[g * rows + x];
            placed[g * rows + x] = before;
            before += here;
          }
          start[x + 1] = before;
        }
      });
  for (std::size_t x = 0; x < rows; ++x) start[x + 1] += start[x];
  const auto p = static_cast<std::size_t>(start[rows]);
  if (!both) r.i.resize(p);
  r.j.resize(p);
  r.dist.resize(p);
  if (shifts) r.shift.resize(checked_mul(p, d));
  parallel::for_each(groups, [&](std::size_t g) {
    uint32_t* next = placed.data() + g * rows;
    const auto [t0, t1] = group_of(g);
    for (std::size_t task = t0; task < t1; ++task) {
      TaskPairs& mine = by_task[task];
      for (std::size_t k = 0; k < mine.found.size(); ++k) {
        const Found& f = mine.found[k];
        const auto put = [&](uint32_t row, uint32_t other, int sign) {
          const auto at = static_cast<std::size_t>(start[row]) + next[row]++;
          const uint64_t key =
              by_distance ? (uint64_t{f.bits} << 32) | other : (uint64_t{other} << 32) | f.bits;
          r.j[at] = static_cast<int64_t>(key);
          if (shifts)
            for (std::size_t a = 0; a < d; ++a) r.shift[at * d + a] = sign * mine.shift[k * d + a];
        };
        put(f.lo, f.hi, 1);
        // The other way round: from hi to lo the displacement changes sign.
        if (both) put(f.hi, f.lo, -1);
      }
      Array<Found>().swap(mine.found);
      Array<int8_t>().swap(mine.shift);
    }
  });
  Array<uint32_t>().swap(placed);
  // Each row sorted by its keys (distinct: a row's larger ids are), the
  // shifts moved with them; then read out.
  struct Scratch {
    std::vector<std::pair<uint64_t, std::size_t>> order;
    std::vector<int32_t> shift;
  };
  parallel::for_chunks(
      rows, 1024, [] { return Scratch(); },
      [&](Scratch& w, std::size_t begin, std::size_t end) {
        int32_t moved[max_grid_dims];
        for (std::size_t x = begin; x < end; ++x) {
          const auto s = static_cast<std::size_t>(start[x]),
                     e = static_cast<std::size_t>(start[x + 1]);
          int64_t* key = r.j.data() + s;
          const std::size_t len = e - s;
          if (len > 32 && !shifts) {
            std::sort(key, key + len, [](int64_t a, int64_t b) {
              return static_cast<uint64_t>(a) < static_cast<uint64_t>(b);
            });
          } else if (len > 32) {
            // A long row with shifts: sorted through its permutation.
            int32_t* sh = r.shift.data() + s * d;
            w.order.resize(len);
            for (std::size_t u = 0; u < len; ++u) w.order[u] = {static_cast<uint64_t>(key[u]), u};
            std::sort(w.order.begin(), w.order.end());
            w.shift.assign(sh, sh + len * d);
            for (std::size_t u = 0; u < len; ++u) {
              key[u] = static_cast<int64_t>(w.order[u].first);
              std::copy_n(w.shift.data() + w.order[u].second * d, d, sh + u * d);
            }
          } else {
            int32_t* sh = shifts ? r.shift.data() + s * d : nullptr;
            for (std::size_t u = 1; u < len; ++u) {
              const auto k = static_cast<uint64_t>(key[u]);
              if (sh != nullptr) std::copy_n(sh + u * d, d, moved);
              std::size_t v = u;
              for (; v > 0 && k < static_cast<uint64_t>(key[v - 1]); --v) {
                key[v] = key[v - 1];
                if (sh != nullptr) std::copy_n(sh + (v - 1) * d, d, sh + v * d);
              }
              key[v] = static_cast<int64_t>(k);
              if (sh != nullptr) std::copy_n(moved, d, sh + v * d);
            }
          }
          for (std::size_t u = 0; u < len; ++u) {
            const auto k = static_cast<uint64_t>(key[u]);
            const auto hi = static_cast<uint32_t>(by_distance ? k : k >> 32);
            const auto bits = static_cast<uint32_t>(by_distance ? k >> 32 : k);
            if (!both) r.i[s + u] = static_cast<int64_t>(x);
            key[u] = static_cast<int64_t>(hi);
            r.dist[s + u] = widen_bits(bits);
          }
        }
      });
  if (both) r.indptr = std::move(start);
  return r;
}

}  // namespace plovik
