#include "index/tiers/candidate_tier.hpp"

#include <utility>

#include "index/hash/keys.hpp"
#include "index/tiers/sort_tier.hpp"

namespace plovik {

CandidateTier make_candidate_tier(const Index& ix, const double* coords, std::size_t d,
                                  std::size_t n_static, std::size_t n_points) {
  const std::size_t n_cand = n_points - n_static;
  CandidateTier tier;
  tier.keys = compute_keys_of(ix, coords, d, n_static, n_cand);
  SortedTier sorted = sort_tier_of(ix, tier.keys, n_cand, n_static);
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

void build_candidate_tier(Index& ix) {
  install_candidate_tier(
      ix, make_candidate_tier(ix, ix.coords_f64.data(), ix.d, ix.n_static, ix.n_points));
}

}  // namespace plovik
