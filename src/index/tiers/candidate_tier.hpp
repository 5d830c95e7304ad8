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
CandidateTier make_candidate_tier(const Index& ix, const double* coords, std::size_t d,
                                  std::size_t n_static, std::size_t n_points);

// Installs a candidate tier into the record (never throws).
void install_candidate_tier(Index& ix, CandidateTier&& tier) noexcept;

// Rebuilds the candidate tier from coords_f64, n_points and n_static.
void build_candidate_tier(Index& ix);

}  // namespace plovik
