// Sorting a tier's keys per table into its ids and directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

// Positions inside a tier are stored in 32 bits.
inline constexpr std::size_t max_tier_points = std::size_t{1} << 32;
// The refusal of a tier that would hold more (build, promote, a loaded state).
inline constexpr const char* tier_too_large = "a tier must hold fewer than 2**32 points";

// The tables of a tier of n points from their keys (table-major L x n,
// column i holding point i of the tier): per table the points' positions
// i, (key, i) ascending, and the tier's directory, dense when the key
// space allows it (directory_stride), else its occupied buckets. Keys are
// read, never written.
Tier sort_tier(const Index& ix, const int64_t* keys, std::size_t n);

// The same for the points base .. base + n - 1 of `coords` (row-major, d
// columns), hashed a quarter of the tables at a time so that only those
// tables' keys exist at once.
Tier hash_sort_tier(const Index& ix, const double* coords, std::size_t d, std::size_t base,
                    std::size_t n);

// Whether a counting sort over the key space [0, space) beats a comparison
// sort for n entries: its histogram costs O(space) per table.
bool counting_sort_pays(int64_t space, std::size_t n);

// The stable counting sort by key of the tiers (building a tier and
// refreshing one): writes value_at(i) for i = 0 .. n - 1 to its sorted place
// in out, entries of equal key in the order of i. counts ends with space + 1
// entries, counts[c] being the end of key c's run for c < space. Returns
// false, writing nothing to out, when a key lies outside [0, space).
template <class T, class KeyAt, class ValueAt>
bool counting_sort_by_key(std::size_t n, int64_t space, KeyAt key_at, ValueAt value_at, T* out,
                          Array<uint32_t>& counts) {
  const std::size_t S = static_cast<std::size_t>(space);
  counts.assign(S + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const int64_t key = key_at(i);
    if (key < 0 || key >= space) return false;
    ++counts[static_cast<std::size_t>(key) + 1];
  }
  // counts[c] becomes the first place of key c, the number of keys below c.
  for (std::size_t c = 0; c < S; ++c) counts[c + 1] += counts[c];
  // The entries land all over out: the line of a key's next place is
  // fetched a few entries ahead.
  constexpr std::size_t ahead = 16;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + ahead < n)
      __builtin_prefetch(out + counts[static_cast<std::size_t>(key_at(i + ahead))], 1);
    out[counts[static_cast<std::size_t>(key_at(i))]++] = value_at(i);
  }
  return true;
}

}  // namespace plovik
