#include "index/grid/walk.hpp"

#include <algorithm>

#include "index/hash/keys.hpp"
#include "parallel/pool.hpp"

namespace plovik::grid_detail {

Queries prepare_queries(std::size_t d, std::span<const std::size_t> cells, const QueryBatch& q) {
  const std::size_t m = q.m;
  const CellStrides strides(cells);
  std::size_t total = 1;
  for (const std::size_t c : cells) total *= c;
  Array<float> coords(checked_mul(m, d));
  Array<uint64_t> cell(m);
  parallel::for_chunks(
      m, 4096, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          const double* row = q.row(i);
          float* w = coords.data() + i * d;
          uint64_t c = 0;
          for (std::size_t a = 0; a < d; ++a) {
            w[a] = wrap_f32(row[a]);
            c += strides.stride[a] * cell_of(w[a], cells[a]);
          }
          cell[i] = c;
        }
      });
  Queries out;
  out.order.resize(m);
  if (total <= 4 * m + 1024) {
    // Counting sort: queries of a cell keep their order.
    Array<std::size_t> start(total + 1, 0);
    for (std::size_t i = 0; i < m; ++i) ++start[cell[i] + 1];
    for (std::size_t c = 0; c < total; ++c) start[c + 1] += start[c];
    for (std::size_t i = 0; i < m; ++i) out.order[start[cell[i]]++] = i;
  } else {
    for (std::size_t i = 0; i < m; ++i) out.order[i] = i;
    std::stable_sort(out.order.begin(), out.order.end(),
                     [&](std::size_t x, std::size_t y) { return cell[x] < cell[y]; });
  }
  // Each query's coordinates and excluded id at its place in that order.
  out.coords.resize(checked_mul(m, d));
  out.excluded.resize(m);
  parallel::for_chunks(
      m, 4096, [] { return 0; },
      [&](int, std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
          const std::size_t i = out.order[p];
          std::copy_n(coords.data() + i * d, d, out.coords.data() + p * d);
          out.excluded[p] = q.excluded(i);
        }
      });
  return out;
}

}  // namespace plovik::grid_detail
