#include <limits>

#include "knn.hpp"
#include "knn_paths.hpp"
#include "query_checks.hpp"

namespace plovik {

namespace {

// The most answers a row can have: every point, less the excluded one when
// exclusions are given.
std::size_t answers_needed(const RustLshIndex& ix, const QueryBatch& q, std::size_t k) {
  std::size_t available = ix.n_points;
  if (q.exclude) available = available > 0 ? available - 1 : 0;
  return k < available ? k : available;
}

}  // namespace

KnnResult query_knn(const RustLshIndex& ix, const QueryBatch& q, std::size_t k) {
  check_query_width(ix, q);
  const std::size_t cells = checked_mul(q.m, k);
  KnnResult r;
  r.idx.assign(cells, -1);
  r.dist.assign(cells, std::numeric_limits<double>::infinity());
  if (k == 0 || q.m == 0) {
    check_exclusions(q, q.m);  // no task runs to find a short exclude_ids
    return r;
  }
  const std::size_t need = answers_needed(ix, q, k);
  // Batches of 64 or more take the blocked path unless block is 1.
  if (q.m >= 64 && ix.block != 1) {
    check_exclusions(q, q.m);  // before any block runs or counts
    knn_batched(ix, q, k, need, r.idx.data(), r.dist.data());
  } else {
    knn_per_query(ix, q, k, need, r.idx.data(), r.dist.data());
  }
  return r;
}

}  // namespace plovik
