#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "index/query/checks.hpp"
#include "index/query/distance.hpp"
#include "index/query/gather.hpp"
#include "index/query/radius.hpp"
#include "index/query/tasks.hpp"
#include "index/query/topk.hpp"
#include "index/query/workspace.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// The rows of one task's run of queries, concatenated in query order.
struct RowRun {
  Array<int64_t> ids;
  Array<double> dists;
};

struct RadiusTask {
  QueryWorkspace ws;
  Array<Slot> hits;  // the current row's hits, before sorting

  RadiusTask(const Index& ix, const QueryBatch& q) : ws(ix.n_points, q.dq, ix.k) {
    ws.flips = flips_per_table(ix, q.probes);
  }
};

// Appends the hits of query i (ascending by distance, then id) to `out`;
// returns their number. measure(ws, excluded, hits) appends the gathered
// ids within the radius, unsorted.
template <class Measure>
std::size_t answer_row(const Index& ix, const QueryBatch& q, std::size_t i, RadiusTask& task,
                       RowRun& out, Measure&& measure) {
  QueryWorkspace& ws = task.ws;
  const double* row = q.row(i);
  load_query(ws, row);
  const int64_t excluded = q.excluded(i);
  gather_query(ix, ws, row);
  task.hits.clear();
  measure(static_cast<const QueryWorkspace&>(ws), excluded, task.hits);
  sort_slots(task.hits.data(), task.hits.size());
  for (const Slot& h : task.hits) {
    out.ids.push_back(h.id);
    out.dists.push_back(widen_bits(h.bits));
  }
  return task.hits.size();
}

template <class Measure>
RadiusResult answer_rows(const Index& ix, const QueryBatch& q, Measure&& measure) {
  const bool built = ix.d != 0;
  const std::size_t m = q.m;

  RadiusResult r;
  r.indptr.assign(checked_add(m, 1), 0);
  const std::size_t chunk = rows_per_task(m);
  const std::size_t n_chunks = m / chunk + (m % chunk != 0);
  std::vector<RowRun> runs(n_chunks);
  int64_t* counts = r.indptr.data() + 1;  // row lengths first, prefix sums below
  parallel::for_chunks(
      m, chunk, [&] { return RadiusTask(ix, q); },
      [&](RadiusTask& task, std::size_t begin, std::size_t end) {
        if (!built) return;
        RowRun& run = runs[begin / chunk];
        for (std::size_t i = begin; i < end; ++i)
          counts[i] = static_cast<int64_t>(answer_row(ix, q, i, task, run, measure));
      });

  for (std::size_t i = 0; i < m; ++i) r.indptr[i + 1] += r.indptr[i];
  const auto total = static_cast<std::size_t>(r.indptr[m]);
  r.ids.resize(total);
  r.dists.resize(total);
  std::size_t at = 0;
  for (const RowRun& run : runs) {
    if (!run.ids.empty()) {
      std::memcpy(r.ids.data() + at, run.ids.data(), run.ids.size() * sizeof(int64_t));
      std::memcpy(r.dists.data() + at, run.dists.data(), run.dists.size() * sizeof(double));
    }
    at += run.ids.size();
  }
  return r;
}

}  // namespace

RadiusResult query_radius(const Index& ix, const QueryBatch& q, double radius) {
  validate_query_radius(ix, q.m, q.dq, q.exclude_size());
  // Rounded to nearest single precision once (beyond the float range to
  // infinity); a NaN cutoff stays NaN and nothing passes it.
  const float cutoff = static_cast<float>(radius);
  const std::size_t d = ix.d;
  const float* coords = ix.coords_f32.data();
  return answer_rows(ix, q, [&](const QueryWorkspace& ws, int64_t excluded, Array<Slot>& hits) {
    const std::size_t D = std::min(d, ws.query_f32.size());
    // The gathered ids are live: a retired point has no entry in the tables.
    for (const uint64_t id : ws.gathered) {
      if (static_cast<int64_t>(id) == excluded) continue;
      const float dist = torus_l1_f32(ws.query_f32.data(), coords + id * d, D);
      if (dist <= cutoff) hits.push_back({distance_bits(dist), static_cast<int64_t>(id)});
    }
  });
}

RadiusResult query_radius(const Index& ix, const QueryBatch& q, MeasureWithin measure,
                          const void* context) {
  validate_query_radius(ix, q.m, q.dq, q.exclude_size());
  return answer_rows(ix, q, [&](const QueryWorkspace& ws, int64_t excluded, Array<Slot>& hits) {
    measure(ix, ws, excluded, hits, context);
  });
}

}  // namespace plovik
