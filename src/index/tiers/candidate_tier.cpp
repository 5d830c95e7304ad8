#include "index/tiers/candidate_tier.hpp"

#include <utility>

#include "index/hash/keys.hpp"
#include "index/tiers/sort_tier.hpp"

namespace plovik {

CandidateTier build_candidate_tier(const Index& ix, const double* coords, std::size_t d,
                                   std::size_t n_static, std::size_t n_points) {
  const std::size_t n_cand = n_points - n_static;
  return candidate_tier_from_keys(ix, compute_keys(ix, coords, d, n_static, n_cand), n_cand,
                                  n_static);
}

CandidateTier candidate_tier_from_keys(const Index& ix, Array<int64_t>&& keys, std::size_t n,
                                       std::size_t base) {
  CandidateTier tier;
  tier.keys = std::move(keys);
  SortedTier sorted = sort_tier_of(ix, tier.keys, n, base);
  tier.sorted_keys = std::move(sorted.keys);
  tier.sorted_ids = std::move(sorted.ids);
  tier.offsets = std::move(sorted.offsets);
  return tier;
}

void install_candidate_tier(Index& ix, CandidateTier&& tier) noexcept {
  ix.cand_keys = std::move(tier.keys);
  ix.cand_sorted_keys = std::move(tier.sorted_keys);
  ix.cand_sorted_ids = std::move(tier.sorted_ids);
  ix.cand_offsets = std::move(tier.offsets);
}

}  // namespace plovik
