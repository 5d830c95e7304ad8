// The bounded k-best accumulator of the k-nearest searches: a binary
// max-heap of (distance bits, id) under the result order, k slots.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"

namespace plovik {

// One kept entry. Distances are compared through their bit patterns as
// unsigned integers (the numeric order for non-negative floats), ids as
// signed integers.
struct Slot {
  uint32_t bits;
  int64_t id;
};

// The result order: by distance bits, then by id.
inline bool before(uint32_t bits_a, int64_t id_a, uint32_t bits_b, int64_t id_b) {
  return bits_a < bits_b || (bits_a == bits_b && id_a < id_b);
}
inline bool before(const Slot& a, const Slot& b) { return before(a.bits, a.id, b.bits, b.id); }

inline uint32_t distance_bits(float d) { return std::bit_cast<uint32_t>(d); }
inline double widen_bits(uint32_t bits) { return static_cast<double>(std::bit_cast<float>(bits)); }

struct TopK {
  Array<Slot> heap;  // exactly k slots; 0 .. len - 1 form the heap
  std::size_t len = 0;

  explicit TopK(std::size_t k) : heap(k, Slot{0, 0}) {}
  std::size_t k() const { return heap.size(); }
};

// Adds e to a heap of len < k entries, the latest in result order on top:
// sift up while the parent comes before the new entry.
inline void heap_push(Slot* heap, std::size_t& len, Slot e) {
  std::size_t at = len++;
  while (at > 0) {
    const std::size_t parent = (at - 1) / 2;
    if (!before(heap[parent], e)) break;
    heap[at] = heap[parent];
    at = parent;
  }
  heap[at] = e;
}

// Replaces the top of a full heap of k entries with e, which comes before
// it, and sifts e down: the later of node and children wins, left child
// tested first, a child only when strictly later.
inline void heap_replace_top(Slot* heap, std::size_t k, Slot e) {
  std::size_t at = 0;
  for (;;) {
    std::size_t pick = at;
    Slot worst = e;
    const std::size_t left = 2 * at + 1, right = left + 1;
    if (left < k && before(worst, heap[left])) {
      pick = left;
      worst = heap[left];
    }
    if (right < k && before(worst, heap[right])) {
      pick = right;
      worst = heap[right];
    }
    if (pick == at) break;
    heap[at] = heap[pick];
    at = pick;
  }
  heap[at] = e;
}

// Offers (bits, id) to the heap of k slots holding len entries. Keeps the
// k earliest distinct ids in result order whatever the order of offering;
// an id already present is ignored.
inline void heap_offer(Slot* heap, std::size_t k, std::size_t& len, uint32_t bits, int64_t id) {
  if (k == 0) return;
  if (len < k) {
    for (std::size_t i = 0; i < len; ++i)
      if (heap[i].id == id) return;
    heap_push(heap, len, Slot{bits, id});
    return;
  }
  if (!before(bits, id, heap[0].bits, heap[0].id)) return;
  for (std::size_t i = 0; i < k; ++i)
    if (heap[i].id == id) return;
  heap_replace_top(heap, k, Slot{bits, id});
}

inline void heap_offer(TopK& top, uint32_t bits, int64_t id) {
  heap_offer(top.heap.data(), top.k(), top.len, bits, id);
}

// Sorts `len` slots ascending in the result order.
inline void sort_slots(Slot* first, std::size_t len) {
  std::sort(first, first + len, [](const Slot& a, const Slot& b) { return before(a, b); });
}

// Sorts the filled slots ascending in the result order.
inline void sort_filled(TopK& top) { sort_slots(top.heap.data(), top.len); }

// Writes `len` sorted slots as the start of a result row: ids to idx, the
// distances widened to double precision to dist. The rest of the row keeps
// its padding.
inline void write_row(const Slot* slots, std::size_t len, int64_t* idx, double* dist) {
  for (std::size_t j = 0; j < len; ++j) {
    idx[j] = slots[j].id;
    dist[j] = widen_bits(slots[j].bits);
  }
}

}  // namespace plovik
