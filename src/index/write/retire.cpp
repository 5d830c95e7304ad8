#include "index/write/retire.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "index/errors.hpp"
#include "index/tiers/drop_retired.hpp"

namespace plovik {

namespace {

// The tier of `points` points from id `base` on without the entries of the
// points `retired` holds, or nothing when it lost none.
std::optional<Tier> tier_without(const Index& ix, const Tier& tier, uint64_t base,
                                 std::size_t points, const RetiredSet& retired) {
  const std::size_t live = points - retired.count_in(base, base + points);
  if (live == tier.entries) return std::nullopt;
  return drop_retired(ix, tier, base, retired, live);
}

}  // namespace

void validate_retire(const Index& ix, std::span<const int64_t> ids) {
  for (const int64_t id : ids)
    if (id < 0 || static_cast<uint64_t>(id) >= ix.n_points)
      throw InvalidArgument("ids must lie in [0, " + std::to_string(ix.n_points) +
                            ") to be retired, got " + std::to_string(id));
}

void retire(Index& ix, std::span<const int64_t> ids) {
  validate_retire(ix, ids);
  if (ids.empty()) return;
  // The new bits and tables are made aside; the record changes only once
  // nothing can fail any more.
  RetiredSet r;
  const auto highest = static_cast<uint64_t>(*std::max_element(ids.begin(), ids.end()));
  const std::size_t words = std::max(ix.retired.words.size(), static_cast<std::size_t>(highest >> 6) + 1);
  r.words.assign(words, 0);
  std::copy(ix.retired.words.begin(), ix.retired.words.end(), r.words.begin());
  r.count = ix.retired.count;
  for (const int64_t id : ids) {
    uint64_t& w = r.words[static_cast<uint64_t>(id) >> 6];
    const uint64_t bit = uint64_t{1} << (id & 63);
    r.count += (w & bit) == 0;
    w |= bit;
  }
  if (r.count == ix.retired.count) return;  // every id retired already
  std::optional<Tier> stat = tier_without(ix, ix.static_tables, 0, ix.n_static, r);
  std::optional<Tier> cand = tier_without(ix, ix.cand_tables, ix.n_static, ix.n_cand(), r);

  // Install: moves only.
  ix.retired = std::move(r);
  if (stat) ix.static_tables = std::move(*stat);
  if (cand) ix.cand_tables = std::move(*cand);
}

}  // namespace plovik
