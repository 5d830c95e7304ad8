#include "index/knn/per_query.hpp"
#include "index/query/checks.hpp"
#include "index/query/clock.hpp"
#include "index/query/gather.hpp"
#include "index/query/refine.hpp"
#include "index/query/relax.hpp"
#include "index/query/tasks.hpp"
#include "index/query/topk.hpp"
#include "index/query/workspace.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// What one worker thread keeps across the rows it answers.
struct KnnTask {
  QueryWorkspace ws;
  TopK top;

  KnnTask(const Index& ix, const QueryBatch& q, std::size_t k)
      : ws(ix.n_points, q.dq, ix.k), top(k) {
    ws.flips = flips_per_table(ix, q.probes);
  }
};

// Refine measures the gathered ids as refine_topk does, Relax relaxes as
// relax_query does, each in the search's metric.
template <class Refine, class Relax>
void answer_row(const Index& ix, const QueryBatch& q, std::size_t i, std::size_t need,
                KnnTask& task, int64_t* idx, double* dist, Refine&& refine, Relax&& relax) {
  QueryWorkspace& ws = task.ws;
  TopK& top = task.top;
  QueryCounts c;
  c.queries = 1;
  const double* row = q.row(i);
  load_query(ws, row);
  const int64_t excluded = q.excluded(i);

  const uint64_t t0 = clock_ns();
  gather_query(ix, ws, row);
  const uint64_t t1 = clock_ns();
  top.len = 0;
  refine(ws, top, excluded);
  const uint64_t t2 = clock_ns();
  c.cands += ws.gathered.size();
  c.pairs += ws.gathered.size();
  if (top.len < need) {
    relax(ws, top, row, excluded);
    c.relax_ns += elapsed_ns(t2, clock_ns());
    c.relaxed += 1;
  }
  sort_filled(top);
  write_row(top.heap.data(), top.len, idx, dist);
  c.gather_ns += elapsed_ns(t0, t1);
  c.refine_ns += elapsed_ns(t1, t2);
  ix.counters.add(c);
}

template <class Refine, class Relax>
void answer_rows(const Index& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                 int64_t* idx, double* dist, Refine&& refine, Relax&& relax) {
  // An index never built holds no point to compare and hashes nothing: its
  // rows stay padded, but they are still counted as queries.
  const bool built = ix.d != 0;
  parallel::for_chunks(
      q.m, rows_per_task(q.m), [&] { return KnnTask(ix, q, built ? k : 0); },
      [&](KnnTask& task, std::size_t begin, std::size_t end) {
        if (!built) {
          ix.counters.add(QueryCounts{.queries = end - begin});
          return;
        }
        for (std::size_t i = begin; i < end; ++i)
          answer_row(ix, q, i, need, task, idx + i * k, dist + i * k, refine, relax);
      });
}

}  // namespace

void knn_per_query(const Index& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                   int64_t* idx, double* dist) {
  answer_rows(
      ix, q, k, need, idx, dist,
      [&](const QueryWorkspace& ws, TopK& top, int64_t excluded) {
        refine_topk(ix, ws, top, excluded);
      },
      [&](QueryWorkspace& ws, TopK& top, const double* row, int64_t excluded) {
        relax_query(ix, ws, top, row, excluded, need);
      });
}

void knn_per_query(const Index& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                   int64_t* idx, double* dist, RefineGathered refine, const void* context) {
  answer_rows(
      ix, q, k, need, idx, dist,
      [&](const QueryWorkspace& ws, TopK& top, int64_t excluded) {
        refine(ix, ws, top, excluded, context);
      },
      [&](QueryWorkspace& ws, TopK& top, const double* row, int64_t excluded) {
        relax_query(ix, ws, top, row, excluded, need, refine, context);
      });
}

}  // namespace plovik
