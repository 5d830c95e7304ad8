// Building blocks of the two tiers: sorting a tier's keys, its bucket
// directory, and the whole candidate tier.
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
SortedTier sort_tier(const RustLshIndex& ix, Array<int64_t>&& keys, std::size_t n,
                     std::size_t base);

// The same, leaving `keys` as they are.
SortedTier sort_tier_of(const RustLshIndex& ix, const Array<int64_t>& keys, std::size_t n,
                        std::size_t base);

// Whether a counting sort over the key space [0, space) beats a comparison
// sort for n entries: its histogram costs O(space) per table.
bool counting_sort_pays(int64_t space, std::size_t n);

// Bucket directory of a tier of n points: per table b^K + 1 entries, entry
// c = number of keys below c. Empty when n = 0 or when L * (b^K + 1) * 8
// exceeds 2^26.
Array<uint32_t> build_offsets(const RustLshIndex& ix, const Array<int64_t>& sorted_keys,
                              std::size_t n);

// The directory of one sorted table run of n keys: stride entries, entry c
// = number of keys below c.
void table_offsets(const int64_t* run, std::size_t n, uint32_t* out, std::size_t stride);

// Directory stride b^K + 1, or 0 when no directory is built at this size.
std::size_t directory_stride(const RustLshIndex& ix);

struct CandidateTier {
  Array<int64_t> keys;  // unsorted, column i = id n_static + i
  Array<int64_t> sorted_keys;
  Array<int64_t> sorted_ids;
  Array<uint32_t> offsets;
};

// The candidate tier of the points n_static .. n_points - 1 of `coords`.
CandidateTier make_candidate_tier(const RustLshIndex& ix, const double* coords, std::size_t d,
                                  std::size_t n_static, std::size_t n_points);

// Installs a candidate tier into the record (never throws).
void install_candidate_tier(RustLshIndex& ix, CandidateTier&& tier) noexcept;

// Rebuilds the candidate tier from coords_f64, n_points and n_static.
void build_candidate_tier(RustLshIndex& ix);

}  // namespace plovik
