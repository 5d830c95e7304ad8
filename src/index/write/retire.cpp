#include "index/write/retire.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "index/errors.hpp"
#include "index/tiers/drop_retired.hpp"
#include "parallel/interrupt.hpp"

namespace plovik {

void validate_retire(const Index& ix, std::span<const int64_t> ids) {
  for (const int64_t id : ids)
    if (id < 0 || static_cast<uint64_t>(id) >= ix.n_points)
      throw InvalidArgument("ids must lie in [0, " + std::to_string(ix.n_points) +
                            ") to be retired, got " + std::to_string(id));
}

void retire(Index& ix, std::span<const int64_t> ids) {
  validate_retire(ix, ids);
  if (ids.empty()) return;
  // The new bits are made aside (the only allocations, with each tier's
  // part of them); then the record changes in place, which cannot fail.
  RetiredSet r;
  const auto highest = static_cast<uint64_t>(*std::max_element(ids.begin(), ids.end()));
  r.words.assign(std::max(ix.retired.words.size(), static_cast<std::size_t>(highest >> 6) + 1), 0);
  std::copy(ix.retired.words.begin(), ix.retired.words.end(), r.words.begin());
  r.count = ix.retired.count;
  for (const int64_t id : ids) {
    uint64_t& w = r.words[static_cast<uint64_t>(id) >> 6];
    const uint64_t bit = uint64_t{1} << (id & 63);
    r.count += (w & bit) == 0;
    w |= bit;
  }
  if (r.count == ix.retired.count) return;  // every id retired already
  const std::size_t n_s = ix.n_static, n_c = ix.n_cand();
  const Array<uint64_t> static_live = tier_live_bits(r, 0, n_s);
  const Array<uint64_t> cand_live = tier_live_bits(r, n_s, n_c);
  // Ids mapped from a file were not read at load: before the compaction
  // relies on them, they must be the static tier's live points.
  if (ix.static_tables.ids_unchecked &&
      !tier_holds_live_points(ix, ix.static_tables, n_s, tier_retired_bits(ix.retired, 0, n_s)))
    throw InvalidArgument(
        "the static tier's ids, mapped from a file, are corrupt: retire cannot drop entries from "
        "it");

  parallel::NoInterrupts commit;
  drop_retired(ix, ix.static_tables, static_live, n_s - r.count_in(0, n_s));
  drop_retired(ix, ix.cand_tables, cand_live, n_c - r.count_in(n_s, n_s + n_c));
  ix.retired = std::move(r);
}

}  // namespace plovik
