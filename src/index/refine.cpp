#include "refine.hpp"

#include <algorithm>

#include "distance.hpp"
#include "prefetch.hpp"

namespace plovik {

namespace {
// Coordinates of the candidate this many places ahead are requested while
// the current one is measured: the rows are scattered over the whole array.
constexpr std::size_t coords_ahead = 16;
}  // namespace

void refine_topk(const RustLshIndex& ix, const Ws& ws, TopK& top, int64_t excluded) {
  const std::size_t k = top.k();
  if (k == 0) return;
  const uint64_t* ids = ws.gathered.data();
  const std::size_t n = ws.gathered.size();
  const std::size_t d = ix.d;
  const std::size_t D = std::min(d, ws.query_f32.size());
  const float* coords = ix.coords_f32.data();
  const float* q = ws.query_f32.data();
  Slot* heap = top.heap.data();
  std::size_t len = top.len;
  const std::size_t last = D > 0 ? D - 1 : 0;
  for (std::size_t i = 0; i < std::min(n, coords_ahead); ++i) {
    prefetch(coords + ids[i] * d);
    prefetch(coords + ids[i] * d + last);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (i + coords_ahead < n) {
      const float* ahead = coords + ids[i + coords_ahead] * d;
      prefetch(ahead);
      prefetch(ahead + last);
    }
    const auto id = static_cast<int64_t>(ids[i]);
    if (id == excluded) continue;
    const uint32_t bits = distance_bits(torus_l1_f32(q, coords + ids[i] * d, D));
    // A full heap rejects most candidates with one comparison.
    if (len == k && !before(bits, id, heap[0].bits, heap[0].id)) continue;
    heap_offer(heap, k, len, bits, id);
  }
  top.len = len;
}

}  // namespace plovik
