#include "index/query/refine.hpp"

#include <algorithm>

#include "index/memory/prefetch.hpp"
#include "index/query/distance.hpp"

namespace plovik {

namespace {

// Coordinates of the candidate this many places ahead are requested while
// the current one is measured: the rows are scattered over the whole array.
constexpr std::size_t coords_ahead = 16;

struct Candidates {
  const uint64_t* ids;
  std::size_t n;
  const float* coords;  // row-major, d values per point
  std::size_t d;
};

// Measures every candidate but `excluded` over D coordinates and offers it.
// Dim > 0 fixes D (= d) at compile time, which unrolls the distance.
template <std::size_t Dim>
void measure(const Candidates& c, std::size_t D, const float* q, Slot* heap, std::size_t k,
             std::size_t& len, int64_t excluded) {
  const std::size_t dims = Dim > 0 ? Dim : D;
  const std::size_t d = Dim > 0 ? Dim : c.d;
  const std::size_t last = dims > 0 ? dims - 1 : 0;
  const auto row = [&](std::size_t i) { return c.coords + c.ids[i] * d; };
  const auto fetch = [&](std::size_t i) {
    prefetch(row(i));
    prefetch(row(i) + last);
  };
  for (std::size_t i = 0; i < std::min(c.n, coords_ahead); ++i) fetch(i);
  for (std::size_t i = 0; i < c.n; ++i) {
    if (i + coords_ahead < c.n) fetch(i + coords_ahead);
    const auto id = static_cast<int64_t>(c.ids[i]);
    if (id == excluded) continue;
    const float dist = Dim > 0 ? torus_l1_f32<Dim>(q, row(i)) : torus_l1_f32(q, row(i), dims);
    const uint32_t bits = distance_bits(dist);
    // A full heap rejects most candidates with one comparison.
    if (len == k && !before(bits, id, heap[0].bits, heap[0].id)) continue;
    heap_offer(heap, k, len, bits, id);
  }
}

}  // namespace

void refine_topk(const Index& ix, const QueryWorkspace& ws, TopK& top, int64_t excluded) {
  const std::size_t k = top.k();
  if (k == 0) return;
  const Candidates c{ws.gathered.data(), ws.gathered.size(), ix.coords_f32.data(), ix.d};
  const std::size_t D = std::min(ix.d, ws.query_f32.size());
  const float* q = ws.query_f32.data();
  Slot* heap = top.heap.data();
  std::size_t len = top.len;
  switch (D == ix.d ? D : 0) {
    case 2: measure<2>(c, D, q, heap, k, len, excluded); break;
    case 3: measure<3>(c, D, q, heap, k, len, excluded); break;
    case 4: measure<4>(c, D, q, heap, k, len, excluded); break;
    case 8: measure<8>(c, D, q, heap, k, len, excluded); break;
    case 16: measure<16>(c, D, q, heap, k, len, excluded); break;
    case 32: measure<32>(c, D, q, heap, k, len, excluded); break;
    default: measure<0>(c, D, q, heap, k, len, excluded); break;
  }
  top.len = len;
}

}  // namespace plovik
