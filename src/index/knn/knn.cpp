#include "index/knn/knn.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

#include "index/batched/knn_batched.hpp"
#include "index/knn/per_query.hpp"
#include "index/query/checks.hpp"

namespace plovik {

namespace {

constexpr std::size_t max_result_cells = PTRDIFF_MAX / 8;

}  // namespace

std::size_t answers_needed(const Index& ix, const QueryBatch& q, std::size_t k) {
  std::size_t available = ix.n_live();
  if (q.exclude) available = available > 0 ? available - 1 : 0;
  return k < available ? k : available;
}

void validate_query_knn(const Index& ix, std::size_t m, std::size_t dq,
                        std::optional<std::size_t> n_exclude, std::size_t k) {
  check_query_sizes(ix, m, dq, n_exclude);
  // The rows become (m, k) arrays of eight-byte values. An array's size in
  // bytes is a signed machine word even when it holds nothing (NumPy counts
  // an extent of 0 as 1 in that test), so a k that large is as far out of
  // reach for m = 0 as for m = 1.
  if (checked_mul(std::max<std::size_t>(m, 1), std::max<std::size_t>(k, 1)) > max_result_cells)
    throw std::bad_alloc();
}

KnnResult query_knn(const Index& ix, const QueryBatch& q, std::size_t k) {
  validate_query_knn(ix, q.m, q.dq, q.exclude_size(), k);
  const std::size_t cells = q.m * k;
  KnnResult r;
  r.idx.assign(cells, -1);
  r.dist.assign(cells, std::numeric_limits<double>::infinity());
  if (k == 0 || q.m == 0) return r;
  const std::size_t need = answers_needed(ix, q, k);
  // Batches of 64 or more take the blocked path unless block is 1.
  if (q.m >= 64 && ix.block != 1) {
    knn_batched(ix, q, k, need, r.idx.data(), r.dist.data());
  } else {
    knn_per_query(ix, q, k, need, r.idx.data(), r.dist.data());
  }
  return r;
}

}  // namespace plovik
