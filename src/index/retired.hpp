// The retired points of an index: one bit per id, set for a point that
// queries must never return again. The bits cover the ids up to the
// highest one ever retired; every id beyond them is live, so a promotion
// never has to grow them.
#pragma once

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
};

}  // namespace plovik
