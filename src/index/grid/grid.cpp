#include "index/grid/grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numbers>
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
                   std::span<const std::size_t> cells, Metric metric) {
  const std::size_t d = points.d, n = points.n;
  const std::size_t total = grid_cell_total(d, cells);
  validate_metric(metric, d);
  if (!ids.empty() && ids.size() != n)
    throw InvalidArgument("ids holds " + std::to_string(ids.size()) + " entries but there are " +
                          std::to_string(n) + " points");
  GridTier t;
  t.d = d;
  t.metric = std::move(metric);
  t.cells.assign(cells.begin(), cells.end());
  t.n = n;
  const CellStrides strides(t.cells);
  // The axes cut into more than one cell (along the others every point is
  // in cell 0).
  std::size_t cut[max_grid_dims];
  std::size_t n_cut = 0;
  for (std::size_t a = 0; a < d; ++a)
    if (t.cells[a] > 1) cut[n_cut++] = a;
  // Each point's wrapped coordinates and cell, in parallel.
  Array<float> wrapped(checked_mul(n, std::max<std::size_t>(d, 1)));
  Array<uint64_t> cell(n);
  parallel::for_chunks(
      n, 4096, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const double* row = points.values.data() + i * d;
          float* w = wrapped.data() + i * d;
          for (std::size_t a = 0; a < d; ++a) w[a] = wrap_f32(row[a]);
          uint64_t c = 0;
          for (std::size_t j = 0; j < n_cut; ++j)
            c += strides.stride[cut[j]] * cell_of(w[cut[j]], t.cells[cut[j]]);
          cell[i] = c;
        }
      });
  // Counting sort by cell: points of a cell keep their input order.
  t.starts.assign(checked_add(total, 1), 0);
  for (std::size_t i = 0; i < n; ++i) ++t.starts[cell[i] + 1];
  for (std::size_t c = 0; c < total; ++c) t.starts[c + 1] += t.starts[c];
  Array<uint64_t> at(t.starts.begin(), t.starts.end() - 1);
  // order[p]: the input row of sorted point p.
  Array<uint64_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[at[cell[i]]++] = i;
  t.coords.resize(checked_mul(n, d));
  t.ids.resize(n);
  for (const int64_t id : ids) t.ids_32 = t.ids_32 && id >= 0 && id <= int64_t{UINT32_MAX};
  if (ids.empty()) t.ids_32 = n <= std::size_t{UINT32_MAX} + 1;
  // Gathered in sorted order: one row read per point and d runs of
  // consecutive writes, where scattering each row would write d places
  // far apart.
  parallel::for_chunks(
      n, 4096, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
          const std::size_t i = order[p];
          const float* w = wrapped.data() + i * d;
          for (std::size_t a = 0; a < d; ++a) t.coords[a * n + p] = w[a];
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
    else if (t->metric.kind != first.metric.kind ||
             !std::equal(t->metric.weights.begin(), t->metric.weights.end(),
                         first.metric.weights.begin(), first.metric.weights.end()))
      throw InvalidArgument("the tiers of a grid must have the same metric");
}

namespace {

std::size_t points_in(GridTiers tiers) {
  std::size_t n = 0;
  for (const GridTier* t : tiers) n += t->n;
  return n;
}

bool ids_32(GridTiers tiers) {
  for (const GridTier* t : tiers)
    if (!t->ids_32) return false;
  return true;
}

// The entries of a row. When every id lies in [0, 2^32): one 64-bit key,
// the distance bits above the id, whose order as an unsigned integer is
// the result order (distance bits, then id); else a Slot.
struct PackedEntries {
  using Entry = uint64_t;
  static Entry make(float x, int64_t id) {
    return (uint64_t{distance_bits(x)} << 32) | static_cast<uint32_t>(id);
  }
  static bool less(Entry a, Entry b) { return a < b; }
  static int64_t id(Entry e) { return static_cast<int64_t>(e & UINT32_MAX); }
  static uint32_t bits(Entry e) { return static_cast<uint32_t>(e >> 32); }
};

struct SlotEntries {
  using Entry = Slot;
  static Entry make(float x, int64_t id) { return Slot{distance_bits(x), id}; }
  static bool less(const Entry& a, const Entry& b) { return before(a, b); }
  static int64_t id(const Entry& e) { return e.id; }
  static uint32_t bits(const Entry& e) { return e.bits; }
};

// Sorts a row ascending in the result order: by insertion when short (a
// row holds a few tens of entries).
template <class E>
void sort_row(typename E::Entry* row, std::size_t len) {
  if (len > 32) {
    std::sort(row, row + len, [](const auto& a, const auto& b) { return E::less(a, b); });
    return;
  }
  for (std::size_t u = 1; u < len; ++u) {
    const auto e = row[u];
    std::size_t v = u;
    for (; v > 0 && E::less(e, row[v - 1]); --v) row[v] = row[v - 1];
    row[v] = e;
  }
}

// A max-heap of k entries under the result order (the latest on top).
template <class E>
void entry_push(typename E::Entry* heap, std::size_t& len, typename E::Entry e) {
  std::size_t at = len++;
  while (at > 0) {
    const std::size_t parent = (at - 1) / 2;
    if (!E::less(heap[parent], e)) break;
    heap[at] = heap[parent];
    at = parent;
  }
  heap[at] = e;
}

template <class E>
void entry_replace_top(typename E::Entry* heap, std::size_t k, typename E::Entry e) {
  std::size_t at = 0;
  for (;;) {
    const std::size_t left = 2 * at + 1, right = left + 1;
    if (left >= k) break;
    std::size_t pick = left;
    if (right < k && E::less(heap[left], heap[right])) pick = right;
    if (!E::less(e, heap[pick])) break;
    heap[at] = heap[pick];
    at = pick;
  }
  heap[at] = e;
}

// The radius rows of one task's queries: every hit, query after query (at
// places begin, begin + 1, ...), and how many each has.
template <class E>
struct TaskRows {
  Array<typename E::Entry> found;
  Array<std::size_t> counts;
};

// The coordinate arrays of a tier: coordinate a of sorted point i at
// axis[a][i].
struct TierAxes {
  const float* axis[max_grid_dims];
  explicit TierAxes(const GridTier& t) {
    for (std::size_t a = 0; a < t.d; ++a) axis[a] = t.coords.data() + a * t.n;
  }
};

// Calls visit(dist, ids, len) for every chunk of at most run_chunk
// points of the cells [c0, c1] of each tier, dist their sums with q.
template <std::size_t D, int Kind, class Visit>
[[gnu::always_inline]] inline void for_each_run(GridTiers tiers, const std::vector<TierAxes>& axes,
                                                std::size_t c0, std::size_t c1, const float* q,
                                                float* dist, Visit&& visit) {
  const std::size_t d = tiers[0]->d;
  const Metric& metric = tiers[0]->metric;
  const float* w = metric.weights.empty() ? nullptr : metric.weights.data();
  for (std::size_t ti = 0; ti < tiers.size(); ++ti) {
    const GridTier& t = *tiers[ti];
    const std::size_t s = t.starts[c0], e = t.starts[c1 + 1];
    for (std::size_t from = s; from < e; from += run_chunk) {
      const std::size_t len = std::min(run_chunk, e - from);
      distances_run<D, Kind>(q, axes[ti].axis, from, len, d, dist, &metric, w);
      visit(static_cast<const float*>(dist), t.ids.data() + from, len);
    }
  }
}

// Appends to found[used ..] every point of the tiers whose sum with q is
// at most `cutoff` (on the sums: metric_sum_cutoff) but the excluded id,
// its distance the sum rooted for L2, from the cells that `reach`, made
// around q, yields; found grows as needed.
template <std::size_t D, int Kind, class E>
void collect_within(GridTiers tiers, const std::vector<TierAxes>& axes, const Reach& reach,
                    const CellStrides& strides, const float* q, int64_t excluded, float cutoff,
                    Array<typename E::Entry>& found, std::size_t& used) {
  using Entry = typename E::Entry;
  float dist[run_chunk];
  reach.template for_runs<D>(strides, [&](std::size_t c0, std::size_t c1) {
    for_each_run<D, Kind>(
        tiers, axes, c0, c1, q, dist, [&](const float* dr, const int64_t* ids, std::size_t len) {
          if (found.size() < used + len) found.resize(std::max(2 * found.size(), used + len));
          Entry* out = found.data();
          for (std::size_t b = 0; b < len; b += 64) {
            // The hits of 64 points at a time, as bits.
            uint64_t hits = within_mask(dr + b, std::min<std::size_t>(64, len - b), cutoff);
            for (; hits != 0; hits &= hits - 1) {
              const std::size_t j = b + static_cast<std::size_t>(std::countr_zero(hits));
              if (ids[j] == excluded) continue;
              out[used++] = E::make(root_of<Kind>(dr[j]), ids[j]);
            }
          }
        });
  });
}

template <std::size_t D, int Kind, class E>
void radius_task(GridTiers tiers, const Queries& qs, std::size_t begin, std::size_t end,
                 float cutoff, TaskRows<E>& mine) {
  const GridTier& g = *tiers[0];
  const std::size_t d = g.d;
  const double limit = static_cast<double>(cutoff) + metric_slack(d, g.metric);
  const float sum_cutoff = metric_sum_cutoff(g.metric.kind, cutoff);
  const CellStrides strides(g.cells);
  Reach reach(d, AxisCost(g.metric, d));
  std::vector<TierAxes> axes;
  for (const GridTier* t : tiers) axes.emplace_back(*t);
  mine.counts.assign(end - begin, 0);
  mine.found.resize(std::max<std::size_t>(run_chunk, (end - begin) * 32));
  std::size_t used = 0;
  for (std::size_t p = begin; p < end; ++p) {
    const float* q = qs.coords.data() + p * d;
    const std::size_t first = used;
    reach.around(q, g.cells, limit);
    collect_within<D, Kind, E>(tiers, axes, reach, strides, q, qs.excluded[p], sum_cutoff,
                               mine.found, used);
    sort_row<E>(mine.found.data() + first, used - first);
    mine.counts[p - begin] = used - first;
  }
  mine.found.resize(used);
}

// A radius about which the k-th nearest of a query lies, a little beyond
// the distance within which n points spread evenly over the unit torus put
// k + 1 on average (the L1 ball of radius r holds (2r)^d / d! of it, the
// L2 ball pi^(d/2) r^d / Gamma(d/2 + 1); weights w_a shrink either by the
// product of the w_a).
double knn_first_radius(std::size_t d, std::size_t n, std::size_t k, const Metric& m) {
  double volume = static_cast<double>(k + 1) / static_cast<double>(n);
  for (const float w : m.weights) volume *= static_cast<double>(w);
  const double dd = static_cast<double>(d);
  if (m.kind == MetricKind::l2)
    return 1.15 *
           std::pow(volume * std::tgamma(0.5 * dd + 1.0) / std::pow(std::numbers::pi, 0.5 * dd),
                    1.0 / dd);
  for (std::size_t a = 2; a <= d; ++a) volume *= static_cast<double>(a);
  return 1.15 * 0.5 * std::pow(volume, 1.0 / dd);
}

template <std::size_t D, int Kind, class E>
void knn_task(GridTiers tiers, const Queries& qs, std::size_t begin, std::size_t end, std::size_t k,
              std::size_t keep, ExactKnnResult& r) {
  using Entry = typename E::Entry;
  const GridTier& g = *tiers[0];
  const std::size_t d = g.d;
  const Metric& metric = g.metric;
  const double slack = metric_slack(d, metric);
  const AxisCost cost(metric, d);
  Rings rings(g.cells, cost);
  std::vector<TierAxes> axes;
  for (const GridTier* t : tiers) axes.emplace_back(*t);
  Array<Entry> heap(keep);
  float dist[run_chunk];
  constexpr float inf = std::numeric_limits<float>::infinity();
  // First every point within a radius that holds about k points and a
  // half: when it holds k or more, the k first of them are the answer
  // (a point not read is further than each); else the rings.
  const float first_cutoff =
      static_cast<float>(knn_first_radius(d, points_in(tiers), keep, metric));
  const double first_limit = static_cast<double>(first_cutoff) + slack;
  // Worth it while the ball stays within a quarter of each axis's period.
  bool first_pass = d > 0;
  for (std::size_t a = 0; a < d; ++a) first_pass = first_pass && first_limit / cost.w[a] < 0.25;
  const float first_sum_cutoff = metric_sum_cutoff(metric.kind, first_cutoff);
  const CellStrides strides(g.cells);
  Reach reach(d, cost);
  Array<Entry> found(run_chunk);
  for (std::size_t p = begin; p < end; ++p) {
    const float* q = qs.coords.data() + p * d;
    const int64_t excluded = qs.excluded[p];
    const std::size_t i = qs.order[p];
    int64_t* idx = r.idx.data() + i * k;
    double* dd = r.dist.data() + i * k;
    if (first_pass) {
      std::size_t used = 0;
      reach.around(q, g.cells, first_limit);
      collect_within<D, Kind, E>(tiers, axes, reach, strides, q, excluded, first_sum_cutoff, found,
                                 used);
      if (used >= keep) {
        sort_row<E>(found.data(), used);
        for (std::size_t j = 0; j < keep; ++j) {
          idx[j] = E::id(found[j]);
          dd[j] = widen_bits(E::bits(found[j]));
        }
        continue;
      }
    }
    std::size_t len = 0;
    // The k-th distance so far, +inf (everything passes) while the row is
    // not full; a NaN k-th stops nothing. kth_sum: the largest sum whose
    // distance is at most it (metric_sum_cutoff); kth_cost: the cost
    // (AxisCost) of the k-th distance and the slack, which a cell's bound
    // must not exceed.
    float kth_f = inf, kth_sum = inf;
    double kth_cost = std::numeric_limits<double>::infinity();
    auto settle = [&] {
      if (len == keep) {
        kth_f = std::bit_cast<float>(E::bits(heap[0]));
        if constexpr (is_l2(Kind)) {
          kth_sum = l2_sum_bound(kth_f);
        } else {
          kth_sum = kth_f;
        }
        const double kth = static_cast<double>(kth_f);
        kth_cost =
            std::isnan(kth) ? std::numeric_limits<double>::infinity() : cost.limit(kth + slack);
      }
    };
    rings.around(q);
    for (std::size_t ring = 0;; ++ring) {
      // A cell whose bound exceeds the k-th distance and the slack holds
      // only points that come after the k-th.
      rings.for_ring(
          ring,
          [&](std::size_t c, double bound) {
            if (bound > kth_cost) return;
            for_each_run<D, Kind>(tiers, axes, c, c, q, dist,
                                  [&](const float* dr, const int64_t* ids, std::size_t n_run) {
                                    for (std::size_t j = 0; j < n_run; ++j) {
                                      // Only a distance up to the k-th can enter (a tie by id).
                                      if (!(dr[j] <= kth_sum) || ids[j] == excluded) continue;
                                      const Entry x = E::make(root_of<Kind>(dr[j]), ids[j]);
                                      if (len < keep) {
                                        entry_push<E>(heap.data(), len, x);
                                        settle();
                                      } else if (E::less(x, heap[0])) {
                                        entry_replace_top<E>(heap.data(), keep, x);
                                        settle();
                                      }
                                    }
                                  });
          },
          [&] { return kth_cost; });
      if (rings.last(ring)) break;
      // Every cell not read lies beyond this ring on some axis.
      if (len == keep && kth_cost < rings.beyond(ring)) break;
    }
    sort_row<E>(heap.data(), len);
    for (std::size_t j = 0; j < len; ++j) {
      idx[j] = E::id(heap[j]);
      dd[j] = widen_bits(E::bits(heap[j]));
    }
  }
}

#define PLOVIK_GRID_DIMS(d, f, K, E, ...)    \
  switch (d) {                               \
    case 1: f<1, K, E>(__VA_ARGS__); break;  \
    case 2: f<2, K, E>(__VA_ARGS__); break;  \
    case 3: f<3, K, E>(__VA_ARGS__); break;  \
    case 4: f<4, K, E>(__VA_ARGS__); break;  \
    default: f<0, K, E>(__VA_ARGS__); break; \
  }

// Each dimension and term kind (kernel.hpp) of the metric of tier g.
#define PLOVIK_GRID_DISPATCH(g, f, E, ...)                                           \
  switch (term_kind((g).metric)) {                                                   \
    case l1_weighted: PLOVIK_GRID_DIMS((g).d, f, l1_weighted, E, __VA_ARGS__) break; \
    case l2_plain: PLOVIK_GRID_DIMS((g).d, f, l2_plain, E, __VA_ARGS__) break;       \
    case l2_weighted: PLOVIK_GRID_DIMS((g).d, f, l2_weighted, E, __VA_ARGS__) break; \
    default: PLOVIK_GRID_DIMS((g).d, f, l1_plain, E, __VA_ARGS__) break;             \
  }

template <class E>
void radius_rows(GridTiers tiers, const Queries& qs, float cutoff, RadiusResult& r) {
  const GridTier& g = *tiers[0];
  const std::size_t m = qs.order.size();
  const std::size_t tasks = m / queries_per_task + (m % queries_per_task != 0);
  std::vector<TaskRows<E>> by_task(tasks);
  parallel::for_each(tasks, [&](std::size_t task) {
    const std::size_t begin = task * queries_per_task;
    const std::size_t end = std::min(begin + queries_per_task, m);
    PLOVIK_GRID_DISPATCH(g, radius_task, E, tiers, qs, begin, end, cutoff, by_task[task])
    parallel::check_interrupt();
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
    TaskRows<E>& mine = by_task[task];
    const auto* from = mine.found.data();
    for (std::size_t j = 0; j < mine.counts.size(); ++j) {
      const auto at = static_cast<std::size_t>(r.indptr[qs.order[task * queries_per_task + j]]);
      int64_t* ids = r.ids.data() + at;
      double* dists = r.dists.data() + at;
      for (std::size_t x = 0; x < mine.counts[j]; ++x) {
        ids[x] = E::id(from[x]);
        dists[x] = widen_bits(E::bits(from[x]));
      }
      from += mine.counts[j];
    }
    Array<typename E::Entry>().swap(mine.found);
  });
}

// The image shifts of every entry of the rows r (see grid.hpp), from the
// coordinates of the point each id names, every id in [0, 2^32).
void image_shifts(GridTiers tiers, const Queries& qs, const RadiusResult& r,
                  Array<int32_t>& shifts) {
  const std::size_t d = tiers[0]->d, m = qs.order.size();
  int64_t top = -1;
  for (const GridTier* t : tiers)
    for (const int64_t id : t->ids) top = std::max(top, id);
  // Where each id sits: its tier above its sorted place.
  Array<uint64_t> where(static_cast<std::size_t>(top + 1));
  for (std::size_t ti = 0; ti < tiers.size(); ++ti)
    for (std::size_t at = 0; at < tiers[ti]->n; ++at)
      where[static_cast<std::size_t>(tiers[ti]->ids[at])] = (uint64_t{ti} << 32) | at;
  shifts.resize(checked_mul(r.ids.size(), d));
  parallel::for_chunks(
      m, 1024, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
          const std::size_t i = qs.order[p];
          const float* q = qs.coords.data() + p * d;
          for (auto x = static_cast<std::size_t>(r.indptr[i]);
               x < static_cast<std::size_t>(r.indptr[i + 1]); ++x) {
            const uint64_t w = where[static_cast<std::size_t>(r.ids[x])];
            const GridTier& t = *tiers[w >> 32];
            const std::size_t at = w & UINT32_MAX;
            for (std::size_t a = 0; a < d; ++a)
              shifts[x * d + a] = image_shift(q[a], t.coords[a * t.n + at]);
          }
        }
      });
}

}  // namespace

RadiusResult grid_radius(GridTiers tiers, const QueryBatch& q, double radius,
                         Array<int32_t>* shifts) {
  validate_grid_tiers(tiers);
  const GridTier& g = *tiers[0];
  validate_exact(g.d, q.m, q.dq, q.exclude_size());
  if (shifts != nullptr) {
    if (!ids_32(tiers)) throw InvalidArgument("image shifts take ids in [0, 2**32)");
    shifts->clear();
  }
  // Rounded once, as the exact scan rounds it.
  const float cutoff = static_cast<float>(radius);
  const std::size_t m = q.m;
  RadiusResult r;
  r.indptr.assign(checked_add(m, 1), 0);
  if (m == 0 || points_in(tiers) == 0 || std::isnan(cutoff)) return r;
  const Queries qs = prepare_queries(g.d, g.cells, q);
  if (ids_32(tiers))
    radius_rows<PackedEntries>(tiers, qs, cutoff, r);
  else
    radius_rows<SlotEntries>(tiers, qs, cutoff, r);
  if (shifts != nullptr) image_shifts(tiers, qs, r, *shifts);
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
  const bool packed = ids_32(tiers);
  parallel::for_each(tasks, [&](std::size_t task) {
    const std::size_t begin = task * queries_per_task;
    const std::size_t end = std::min(begin + queries_per_task, m);
    if (packed) {
      PLOVIK_GRID_DISPATCH(g, knn_task, PackedEntries, tiers, qs, begin, end, k, keep, r)
    } else {
      PLOVIK_GRID_DISPATCH(g, knn_task, SlotEntries, tiers, qs, begin, end, k, keep, r)
    }
    parallel::check_interrupt();
  });
  return r;
}

}  // namespace plovik
