#include "gather.hpp"
#include "knn_paths.hpp"
#include "parallel/pool.hpp"
#include "query_clock.hpp"
#include "query_counts.hpp"
#include "query_tasks.hpp"
#include "refine.hpp"
#include "relax.hpp"
#include "topk.hpp"
#include "workspace.hpp"

namespace plovik {

namespace {

// What one worker thread keeps across the rows it answers.
struct KnnTask {
  Ws ws;
  TopK top;

  KnnTask(const RustLshIndex& ix, const QueryBatch& q, std::size_t k)
      : ws(ix.n_points, q.dq, ix.k), top(k) {}
};

// Row i of the output: the heap's entries sorted; the padding stays.
void write_row(TopK& top, int64_t* idx, double* dist) {
  sort_filled(top);
  for (std::size_t j = 0; j < top.len; ++j) {
    idx[j] = top.heap[j].id;
    dist[j] = widen_bits(top.heap[j].bits);
  }
}

void answer_row(const RustLshIndex& ix, const QueryBatch& q, std::size_t i, std::size_t need,
                KnnTask& task, int64_t* idx, double* dist) {
  Ws& ws = task.ws;
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
  refine_topk(ix, ws, top, excluded);
  const uint64_t t2 = clock_ns();
  c.cands += ws.gathered.size();
  c.pairs += ws.gathered.size();
  if (top.len < need) {
    relax_query(ix, ws, top, row, excluded, need);
    c.relax_ns += elapsed_ns(t2, clock_ns());
    c.relaxed += 1;
  }
  write_row(top, idx, dist);
  c.gather_ns += elapsed_ns(t0, t1);
  c.refine_ns += elapsed_ns(t1, t2);
  add_counts(ix, c);
}

}  // namespace

void knn_per_query(const RustLshIndex& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                   int64_t* idx, double* dist) {
  // An index never built holds no point to compare and hashes nothing: its
  // rows stay padded, but they are still counted as queries.
  const bool built = ix.d != 0;
  parallel::for_chunks(
      q.m, rows_per_task(q.m), [&] { return KnnTask(ix, q, built ? k : 0); },
      [&](KnnTask& task, std::size_t begin, std::size_t end) {
        if (!built) {
          add_counts(ix, QueryCounts{.queries = end - begin});
          return;
        }
        for (std::size_t i = begin; i < end; ++i)
          answer_row(ix, q, i, need, task, idx + i * k, dist + i * k);
      });
}

}  // namespace plovik
