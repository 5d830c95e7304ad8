#include "index/grid/grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "index/errors.hpp"
#include "index/grid/kernel.hpp"
#include "index/grid/walk.hpp"
#include "index/hash/keys.hpp"
#include "index/query/topk.hpp"
#include "parallel/interrupt.hpp"
#include "parallel/pool.hpp"

namespace plovik {

using namespace grid_detail;

namespace {

// Queries per task, taken in the order of their cells so that a task's
// queries read the same cells.
constexpr std::size_t queries_per_task = 64;
// Points whose distances are computed at once.
constexpr std::size_t run_chunk = 256;
constexpr std::size_t max_cells = std::size_t{1} << 32;

}  // namespace

std::size_t grid_cell_total(std::size_t d, std::span<const std::size_t> cells) {
  if (d > max_grid_dims)
    throw InvalidArgument("a grid takes at most " + std::to_string(max_grid_dims) +
                          " coordinates, got d = " + std::to_string(d));
  if (cells.size() != d)
    throw InvalidArgument("cells must give one count per coordinate (" + std::to_string(d) +
                          "), got " + std::to_string(cells.size()));
  std::size_t total = 1;
  for (const std::size_t c : cells) {
    if (c == 0) throw InvalidArgument("every axis of a grid needs at least one cell");
    if (c > max_cells || total > max_cells / c)
      throw InvalidArgument("a grid holds at most 2**32 cells");
    total *= c;
  }
  return total;
}

GridTier grid_tier(const PointRows& points, std::span<const int64_t> ids,
                   std::span<const std::size_t> cells) {
  const std::size_t d = points.d, n = points.n;
  const std::size_t total = grid_cell_total(d, cells);
  if (!ids.empty() && ids.size() != n)
    throw InvalidArgument("ids holds " + std::to_string(ids.size()) + " entries but there are " +
                          std::to_string(n) + " points");
  GridTier t;
  t.d = d;
  t.cells.assign(cells.begin(), cells.end());
  t.n = n;
  const CellStrides strides(t.cells);
  // Each point's wrapped coordinates and cell, in parallel.
  Array<float> wrapped(checked_mul(n, std::max<std::size_t>(d, 1)));
  Array<uint64_t> cell(n);
  parallel::for_chunks(
      n, 4096, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const double* row = points.values.data() + i * d;
          float* w = wrapped.data() + i * d;
          uint64_t c = 0;
          for (std::size_t a = 0; a < d; ++a) {
            w[a] = wrap_f32(row[a]);
            c += strides.stride[a] * cell_of(w[a], t.cells[a]);
          }
          cell[i] = c;
        }
      });
  // Counting sort by cell: points of a cell keep their input order.
  t.starts.assign(checked_add(total, 1), 0);
  for (std::size_t i = 0; i < n; ++i) ++t.starts[cell[i] + 1];
  for (std::size_t c = 0; c < total; ++c) t.starts[c + 1] += t.starts[c];
  Array<uint64_t> at(t.starts.begin(), t.starts.end() - 1);
  Array<uint64_t> place(n);
  for (std::size_t i = 0; i < n; ++i) place[i] = at[cell[i]]++;
  t.coords.resize(checked_mul(n, d));
  t.ids.resize(n);
  parallel::for_chunks(
      n, 4096, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const std::size_t p = place[i];
          for (std::size_t a = 0; a < d; ++a) t.coords[a * n + p] = wrapped[i * d + a];
          t.ids[p] = ids.empty() ? static_cast<int64_t>(i) : ids[i];
        }
      });
  return t;
}

void validate_grid_tiers(GridTiers tiers) {
  if (tiers.empty()) throw InvalidArgument("a grid search needs at least one tier");
  const GridTier& first = *tiers[0];
  for (const GridTier* t : tiers)
    if (t->d != first.d ||
        !std::equal(t->cells.begin(), t->cells.end(), first.cells.begin(), first.cells.end()))
      throw InvalidArgument("the tiers of a grid must have the same coordinates and cells");
}

namespace {

std::size_t points_in(GridTiers tiers) {
  std::size_t n = 0;
  for (const GridTier* t : tiers) n += t->n;
  return n;
}

// The radius rows of one task's queries: every hit appended, query after
// query, and how many each has.
struct TaskRows {
  Array<Slot> hits;
  Array<std::size_t> counts;
};

// Offers the points of cells [c0, c1] of every tier to `take(bits, id)`,
// with their distances to q.
template <std::size_t D, class Take>
void scan_cells(GridTiers tiers, std::size_t c0, std::size_t c1, const float* q, float* dist,
                Take&& take) {
  for (const GridTier* t : tiers) {
    const std::size_t s = t->starts[c0], e = t->starts[c1 + 1];
    if (s == e) continue;
    const float* axis[max_grid_dims];
    for (std::size_t a = 0; a < t->d; ++a) axis[a] = t->coords.data() + a * t->n;
    for (std::size_t from = s; from < e; from += run_chunk) {
      const std::size_t len = std::min(run_chunk, e - from);
      distances_run<D>(q, axis, from, len, t->d, dist);
      for (std::size_t j = 0; j < len; ++j) take(dist[j], t->ids[from + j]);
    }
  }
}

template <std::size_t D>
void radius_task(GridTiers tiers, const Queries& qs, std::size_t begin, std::size_t end,
                 float cutoff, TaskRows& mine) {
  const GridTier& g = *tiers[0];
  const double limit = static_cast<double>(cutoff) + grid_slack(g.d);
  const CellStrides strides(g.cells);
  Reach reach(g.d);
  float dist[run_chunk];
  mine.counts.assign(end - begin, 0);
  for (std::size_t p = begin; p < end; ++p) {
    const std::size_t i = qs.order[p];
    const float* q = qs.coords.data() + i * g.d;
    const int64_t excluded = qs.excluded[i];
    const std::size_t before_count = mine.hits.size();
    reach.around(q, g.cells, limit);
    reach.for_runs(strides, limit, [&](std::size_t c0, std::size_t c1) {
      scan_cells<D>(tiers, c0, c1, q, dist, [&](float x, int64_t id) {
        if (x <= cutoff && id != excluded) mine.hits.push_back(Slot{distance_bits(x), id});
      });
    });
    const std::size_t len = mine.hits.size() - before_count;
    sort_slots(mine.hits.data() + before_count, len);
    mine.counts[p - begin] = len;
  }
}

template <std::size_t D>
void knn_task(GridTiers tiers, const Queries& qs, std::size_t begin, std::size_t end, std::size_t k,
              std::size_t keep, ExactKnnResult& r) {
  const GridTier& g = *tiers[0];
  const double slack = grid_slack(g.d);
  Rings rings(g.cells);
  Array<Slot> heap(keep);
  float dist[run_chunk];
  for (std::size_t p = begin; p < end; ++p) {
    const std::size_t i = qs.order[p];
    const float* q = qs.coords.data() + i * g.d;
    const int64_t excluded = qs.excluded[i];
    std::size_t len = 0;
    // The k-th distance so far, +inf (everything passes) while the row is
    // not full; a NaN k-th stops nothing.
    auto kth = [&] {
      return len < keep ? std::numeric_limits<double>::infinity() : widen_bits(heap[0].bits);
    };
    rings.around(q);
    for (std::size_t ring = 0;; ++ring) {
      // A cell whose bound, less the slack, exceeds the k-th distance holds
      // only points that come after the k-th.
      rings.for_ring(
          ring,
          [&](std::size_t c, double bound) {
            if (bound - slack > kth()) return;
            scan_cells<D>(tiers, c, c, q, dist, [&](float x, int64_t id) {
              if (id == excluded) return;
              const Slot e{distance_bits(x), id};
              if (len < keep) {
                heap_push(heap.data(), len, e);
              } else if (before(e, heap[0])) {
                heap_replace_top(heap.data(), keep, e);
              }
            });
          },
          [&] { return kth() + slack; });
      if (rings.last(ring)) break;
      // Every cell not read lies beyond this ring on some axis.
      if (len == keep && kth() < rings.beyond(ring) - slack) break;
    }
    sort_slots(heap.data(), len);
    write_row(heap.data(), len, r.idx.data() + i * k, r.dist.data() + i * k);
  }
}

#define PLOVIK_GRID_DISPATCH(d, f, ...) \
  switch (d) {                          \
    case 1: f<1>(__VA_ARGS__); break;   \
    case 2: f<2>(__VA_ARGS__); break;   \
    case 3: f<3>(__VA_ARGS__); break;   \
    case 4: f<4>(__VA_ARGS__); break;   \
    default: f<0>(__VA_ARGS__); break;  \
  }

}  // namespace

RadiusResult grid_radius(GridTiers tiers, const QueryBatch& q, double radius) {
  validate_grid_tiers(tiers);
  const GridTier& g = *tiers[0];
  validate_exact(g.d, q.m, q.dq, q.exclude_size());
  // Rounded once, as the exact scan rounds it.
  const float cutoff = static_cast<float>(radius);
  const std::size_t m = q.m;
  RadiusResult r;
  r.indptr.assign(checked_add(m, 1), 0);
  if (m == 0 || points_in(tiers) == 0 || std::isnan(cutoff)) return r;
  const Queries qs = prepare_queries(g.d, g.cells, q);
  const std::size_t tasks = m / queries_per_task + (m % queries_per_task != 0);
  std::vector<TaskRows> by_task(tasks);
  parallel::for_each(tasks, [&](std::size_t task) {
    const std::size_t begin = task * queries_per_task;
    const std::size_t end = std::min(begin + queries_per_task, m);
    PLOVIK_GRID_DISPATCH(g.d, radius_task, tiers, qs, begin, end, cutoff, by_task[task])
  });
  for (std::size_t task = 0; task < tasks; ++task)
    for (std::size_t j = 0; j < by_task[task].counts.size(); ++j)
      r.indptr[qs.order[task * queries_per_task + j] + 1] =
          static_cast<int64_t>(by_task[task].counts[j]);
  for (std::size_t i = 0; i < m; ++i) r.indptr[i + 1] += r.indptr[i];
  const auto total = static_cast<std::size_t>(r.indptr[m]);
  r.ids.resize(total);
  r.dists.resize(total);
  parallel::for_each(tasks, [&](std::size_t task) {
    const TaskRows& mine = by_task[task];
    const Slot* from = mine.hits.data();
    for (std::size_t j = 0; j < mine.counts.size(); ++j) {
      const auto at = static_cast<std::size_t>(r.indptr[qs.order[task * queries_per_task + j]]);
      write_row(from, mine.counts[j], r.ids.data() + at, r.dists.data() + at);
      from += mine.counts[j];
    }
  });
  return r;
}

ExactKnnResult grid_knn(GridTiers tiers, const QueryBatch& q, std::size_t k) {
  validate_grid_tiers(tiers);
  const GridTier& g = *tiers[0];
  validate_exact_knn(g.d, q.m, q.dq, q.exclude_size(), k);
  const std::size_t m = q.m, cells = m * k;
  ExactKnnResult r;
  r.idx.assign(cells, -1);
  r.dist.assign(cells, std::numeric_limits<double>::infinity());
  const std::size_t n = points_in(tiers);
  if (k == 0 || m == 0 || n == 0) return r;
  const std::size_t keep = std::min(k, n);
  const Queries qs = prepare_queries(g.d, g.cells, q);
  const std::size_t tasks = m / queries_per_task + (m % queries_per_task != 0);
  parallel::for_each(tasks, [&](std::size_t task) {
    const std::size_t begin = task * queries_per_task;
    const std::size_t end = std::min(begin + queries_per_task, m);
    PLOVIK_GRID_DISPATCH(g.d, knn_task, tiers, qs, begin, end, k, keep, r)
    parallel::check_interrupt();
  });
  return r;
}

}  // namespace plovik
