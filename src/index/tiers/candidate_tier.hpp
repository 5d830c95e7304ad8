// The candidate tier: its keys by candidate, and the same sorted per table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/memory/array.hpp"
#include "index/record.hpp"

namespace plovik {

struct CandidateTier {
  Array<int64_t> keys;  // unsorted, column i = id n_static + i
  Array<int64_t> sorted_keys;
  Array<int64_t> sorted_ids;
  Array<uint32_t> offsets;
};

// The candidate tier of the points n_static .. n_points - 1 of `coords`.
CandidateTier build_candidate_tier(const Index& ix, const double* coords, std::size_t d,
                                   std::size_t n_static, std::size_t n_points);

// The candidate tier of the n points base .. base + n - 1 from their keys
// (table-major L x n), which it keeps as they are.
CandidateTier candidate_tier_from_keys(const Index& ix, Array<int64_t>&& keys, std::size_t n,
                                       std::size_t base);

// Installs a candidate tier into the record (never throws).
void install_candidate_tier(Index& ix, CandidateTier&& tier) noexcept;

}  // namespace plovik
