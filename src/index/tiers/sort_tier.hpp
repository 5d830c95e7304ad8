// Sorting a tier's keys per table, with the tier's bucket directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// Positions inside a tier are stored in 32 bits.
inline constexpr std::size_t max_tier_points = std::size_t{1} << 32;

struct SortedTier {
  Array<int64_t> keys;  // table-major L x n, (key, id) ascending per table
  Array<int64_t> ids;
  Array<uint32_t> offsets;  // the tier's bucket directory, or empty
};

// keys: table-major L x n keys of the points base .. base + n - 1. Sorts
// them and builds the tier's directory (what build_offsets gives). The
// sorted keys are written over the input (its buffer becomes the result's).
SortedTier sort_tier(const Index& ix, Array<int64_t>&& keys, std::size_t n,
                     std::size_t base);

// The same, leaving `keys` as they are.
SortedTier sort_tier_of(const Index& ix, const Array<int64_t>& keys, std::size_t n,
                        std::size_t base);

// Whether a counting sort over the key space [0, space) beats a comparison
// sort for n entries: its histogram costs O(space) per table.
bool counting_sort_pays(int64_t space, std::size_t n);

}  // namespace plovik
