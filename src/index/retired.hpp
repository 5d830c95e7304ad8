// The retired points of an index: one bit per id, set for a point that
// queries must never return again. The bits cover the ids up to the
// highest one ever retired; every id beyond them is live, so a promotion
// never has to grow them. A retired point also has no entry in the tiers'
// tables (tier.hpp); the bits still turn it away wherever points are met
// by id rather than through the tables.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"

namespace plovik {

struct RetiredSet {
  Array<uint64_t> words;  // bit (id % 64) of words[id / 64]; empty when none
  std::size_t count = 0;  // ids whose bit is set

  bool empty() const { return count == 0; }

  bool contains(uint64_t id) const {
    const uint64_t w = id >> 6;
    return w < words.size() && ((words[w] >> (id & 63)) & 1) != 0;
  }

  // Retired ids in [first, last).
  std::size_t count_in(uint64_t first, uint64_t last) const {
    last = std::min<uint64_t>(last, uint64_t{words.size()} * 64);
    std::size_t n = 0;
    for (uint64_t id = first; id < last && (id & 63) != 0; ++id) n += contains(id);
    uint64_t w = (first + 63) >> 6;
    for (; (w + 1) * 64 <= last; ++w) n += static_cast<std::size_t>(__builtin_popcountll(words[w]));
    for (uint64_t id = std::max(first, w * 64); id < last; ++id) n += contains(id);
    return n;
  }
};

}  // namespace plovik
