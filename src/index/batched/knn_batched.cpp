#include "index/batched/knn_batched.hpp"

#include <algorithm>
#include <optional>

#include "index/batched/query_block.hpp"
#include "index/batched/workspace.hpp"
#include "index/query/clock.hpp"
#include "index/query/relax.hpp"
#include "index/query/topk.hpp"
#include "index/query/workspace.hpp"
#include "parallel/pool.hpp"

namespace plovik {

namespace {

// What one worker keeps across the blocks it answers: the block workspace,
// a query workspace made only when a query first needs relaxation, and the
// heap of relaxed queries.
struct BlockTask {
  BlockWorkspace bws;
  std::optional<QueryWorkspace> ws;
  TopK top;

  BlockTask(const Index& ix, const QueryBatch& q, std::size_t k) : top(k) {
    bws.flips = flips_per_table(ix, q.probes);
  }
};

// Queries q0 .. q0 + nb - 1: the block's search, then each row written from
// its heap or, when the heap holds fewer than need entries, from the
// relaxed search. Adds the block's counters to the record.
void answer_block(const Index& ix, const QueryBatch& q, std::size_t q0, std::size_t nb,
                  std::size_t k, std::size_t need, BlockTask& task, int64_t* idx, double* dist) {
  BlockWorkspace& w = task.bws;
  const int64_t* exclude = q.exclude ? q.exclude->data() + q0 : nullptr;
  const uint64_t t0 = clock_ns();
  const uint64_t pairs = query_block(ix, w, q.row(q0), nb, k, exclude);
  const uint64_t t1 = clock_ns();
  uint64_t relaxed = 0;
  for (std::size_t j = 0; j < nb; ++j) {
    const std::size_t r = q0 + j;
    const std::size_t c = w.heap_lens[j];
    if (c >= need) {
      Slot* slots = w.heaps.data() + j * k;
      sort_slots(slots, c);
      write_row(slots, c, idx + r * k, dist + r * k);
      continue;
    }
    if (!task.ws) task.ws.emplace(ix.n_points, ix.d, ix.k);
    load_query(*task.ws, q.row(r));
    relax_query(ix, *task.ws, task.top, q.row(r), w.exclude[j], need);
    sort_filled(task.top);
    write_row(task.top.heap.data(), task.top.len, idx + r * k, dist + r * k);
    relaxed += 1;
  }
  ix.counters.add(QueryCounts{.refine_ns = elapsed_ns(t0, t1),
                              .relax_ns = elapsed_ns(t1, clock_ns()),
                              .queries = nb,
                              .pairs = pairs,
                              .relaxed = relaxed});
}

}  // namespace

std::size_t effective_block(std::size_t m, std::size_t threads, std::size_t block, std::size_t k) {
  const std::size_t t = std::max<std::size_t>(threads, 1);
  const std::size_t per = std::max<std::size_t>(m / t + (m % t != 0), 1);
  const std::size_t fits = std::max<std::size_t>(max_block_slots / std::max<std::size_t>(k, 1), 1);
  return std::min(block == 0 ? per : std::min(block, per), fits);
}

void knn_batched(const Index& ix, const QueryBatch& q, std::size_t k, std::size_t need,
                 int64_t* idx, double* dist) {
  // An index never built hashes nothing: its rows stay padded and only the
  // queries are counted.
  if (ix.d == 0) {
    ix.counters.add(QueryCounts{.queries = q.m});
    return;
  }
  const std::size_t B = effective_block(q.m, parallel::thread_count(), ix.block, k);
  const std::size_t blocks = q.m / B + (q.m % B != 0);
  // One block per task, claimed in order; a worker keeps its task state
  // for every block it claims. Rows never depend on who answers a block.
  parallel::for_tasks(
      blocks, [&] { return BlockTask(ix, q, k); },
      [&](BlockTask& task, std::size_t b) {
        const std::size_t q0 = b * B;
        answer_block(ix, q, q0, std::min(B, q.m - q0), k, need, task, idx, dist);
      });
}

}  // namespace plovik
