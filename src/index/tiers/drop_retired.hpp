// Dropping the entries of retired points from a tier's tables, in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "index/record.hpp"
#include "index/retired.hpp"

namespace plovik {

// The retired bits of a tier's points, the ids base .. base + points - 1:
// bit i for the point stored as i (id base + i).
Array<uint64_t> tier_retired_bits(const RetiredSet& retired, uint64_t base, std::size_t points);

// The same bits inverted: set for the tier's live points (none past the
// last point).
Array<uint64_t> tier_live_bits(const RetiredSet& retired, uint64_t base, std::size_t points);

// The first position j of a table's run ids[0, m) whose id is not below
// `points`, repeats an earlier one, or is set in `taken` (the tier's
// retired bits, from tier_retired_bits); m when there is none. `seen` is
// scratch, resized here.
std::size_t first_bad_id(const uint32_t* ids, std::size_t m, std::size_t points,
                         const Array<uint64_t>& taken, std::vector<uint64_t>& seen);

// Whether every table of `tier` holds exactly the tier's live points: ids
// below `points`, each once, none with its bit set in `retired` (from
// tier_retired_bits, before a retire). Read where the ids came from a file
// mapping unchecked (Tier::ids_unchecked), before drop_retired relies on it.
bool tier_holds_live_points(const Index& ix, const Tier& tier, std::size_t points,
                            const Array<uint64_t>& retired);

// Removes from `tier` the entries of its retired points, keeping those of
// the points set in `live` (from tier_live_bits): every table keeps the order of the entries it
// keeps, and its directory counts only them (a bucket left empty leaves the list of occupied
// buckets). `entries` is what each table keeps, the tier's points not retired, which every table
// holds once each. Works in place, without allocating, each table within its own part of the ids
// (Tier::ids_per_table stays), so the tables compact in parallel; a tier left with no entry becomes
// a tier built empty (no arrays). Cannot fail: call it with interrupts hidden
// (parallel::NoInterrupts), since it runs a job of the pool.
void drop_retired(const Index& ix, Tier& tier, const Array<uint64_t>& live,
                  std::size_t entries) noexcept;

}  // namespace plovik
